#!/bin/sh
# Runs each fuzz target for a bounded time, seeded from a real save.
# Usage: run_fuzzers.sh BIN_DIR SECONDS [TARGET...]
# BIN_DIR holds the fuzz_* binaries and make_seeds. New inputs found go to
# BIN_DIR/corpus/TARGET and are reused by later runs.
set -eu
bin=$1
seconds=$2
shift 2
[ $# -gt 0 ] || set -- fuzz_tar_read fuzz_map_records fuzz_state_load fuzz_gui_message

seeds="$bin/seeds"
mkdir -p "$seeds"
"$bin/make_seeds" "$seeds"

status=0
for target in "$@"; do
    corpus="$bin/corpus/$target"
    mkdir -p "$corpus" "$bin/artifacts"
    echo "== $target: $seconds s"
    if ! "$bin/$target" -max_total_time="$seconds" -print_final_stats=0 \
        -artifact_prefix="$bin/artifacts/$target-" "$corpus" "$seeds" \
        >"$bin/$target.log" 2>&1; then
        tail -n 40 "$bin/$target.log" >&2
        echo "FAIL: $target (log: $bin/$target.log)" >&2
        status=1
    else
        grep -E '^Done|#[0-9]+ *DONE' "$bin/$target.log" | tail -n 1 || true
    fi
done
exit $status
