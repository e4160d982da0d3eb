#!/bin/sh
# The presets' generator refuses a faulty list and names files and URIs as
# hosts need them. $1: the generator.
set -u
gen=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail=0
printf '@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n' >"$dir/manifest.in"

refused() { # the list's text, why
    printf '%b\n' "$1" >"$dir/list.txt"
    if "$gen" vst3 "$dir/list.txt" "$dir" 2>/dev/null || "$gen" lv2 "$dir/list.txt" "$dir/manifest.in" "$dir" 2>/dev/null; then
        echo "accepted: $2"
        fail=1
    fi
}
refused 'A | 1 2' 'two values'
refused 'A | 1 2 3 4' 'four values'
refused 'A | 1 2 16' 'a value above the range'
refused 'A | 1 -2 3' 'a negative value'
refused 'A | 1 2.5 3' 'a fraction'
refused 'A 1 2 3' 'no bar'
refused 'Same | 1 2 3\nsame! | 4 5 6' 'two names giving one URI'
refused '... | 1 2 3' 'a name without letters or digits'
refused 'Dot. | 1 2 3' 'a name ending in a dot'
refused '# only a comment' 'no presets'

printf '# comment\n\nA "B" \\ C: D? | 15 0 7\n' >"$dir/list.txt"
"$gen" vst3 "$dir/list.txt" "$dir" && "$gen" lv2 "$dir/list.txt" "$dir/manifest.in" "$dir" || fail=1
[ -f "$dir/A _B_ _ C_ D_.vstpreset" ] || { echo "file name not mapped"; ls "$dir"; fail=1; }
grep -q 'rdfs:label "A \\"B\\" \\\\ C: D?"' "$dir/presets.ttl" || { echo "label not escaped"; cat "$dir/presets.ttl"; fail=1; }
grep -q '#preset-a-b-c-d>' "$dir/manifest.ttl" || { echo "URI not made from the name"; cat "$dir/manifest.ttl"; fail=1; }
exit $fail
