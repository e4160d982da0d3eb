#!/bin/sh
# GNU tar must list a saved blob and the "dsp.tar" inside it silently.
# Usage: tar_listing.sh PATH_TO_WRITE_BLOB
set -eu
writer=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Lists an archive; prints member names, one a line. Any complaint fails.
names() {
    if ! tar tvf "$1" >"$dir/list" 2>"$dir/err"; then
        cat "$dir/err" >&2
        fail "tar tvf $1 exited non-zero"
    fi
    [ ! -s "$dir/err" ] || { cat "$dir/err" >&2; fail "tar tvf $1 wrote to stderr"; }
    tar tf "$1"
}

"$writer" "$dir/blob" || fail "writing the blob"
[ "$(wc -c <"$dir/blob")" -eq 5632 ] || fail "blob is not 5632 bytes"

[ "$(names "$dir/blob")" = "dsp.tar" ] || fail "outer members: $(tar tf "$dir/blob")"

mkdir "$dir/x"
tar xf "$dir/blob" -C "$dir/x" 2>"$dir/err" && [ ! -s "$dir/err" ] || fail "extracting dsp.tar"
[ "$(wc -c <"$dir/x/dsp.tar")" -eq 4096 ] || fail "dsp.tar is not 4096 bytes"

expected=$(printf 'info.map\nparameters.map\nversion')
[ "$(names "$dir/x/dsp.tar")" = "$expected" ] || fail "inner members: $(tar tf "$dir/x/dsp.tar")"
[ "$(tar xOf "$dir/x/dsp.tar" version)" = "1.0" ] || fail "version member"
[ "$(tar xOf "$dir/x/dsp.tar" parameters.map | wc -c)" -eq 58 ] || fail "parameters.map size"
echo "ok"
