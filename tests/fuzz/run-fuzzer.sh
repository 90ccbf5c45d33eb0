#!/usr/bin/env bash
# Runs one fuzz target (tests/fuzz/CMakeLists.txt adds a test per target and mode):
#   run-fuzzer.sh replay BINARY TARGET CORPUS SOURCE_DIR
#     every seed (corpus/CORPUS) and every kept reproducer (regressions/TARGET) once, no fuzzing;
#   run-fuzzer.sh fuzz BINARY TARGET CORPUS SOURCE_DIR WORK_DIR
#     libFuzzer for TESSORA_FUZZ_SECONDS (default 60) from the seeds, new inputs kept in WORK_DIR.
#     A finding fails the run, and its reproducer is copied to regressions/TARGET, where every
#     later test run replays it.
set -euo pipefail

mode=$1 binary=$2 target=$3 corpus=$4 source_dir=$5
seeds="$source_dir/corpus/$corpus"
regressions="$source_dir/regressions/$target"
inputs=("$seeds")
[ -d "$regressions" ] && inputs+=("$regressions")

if [ "$mode" = replay ]; then
  exec "$binary" -runs=0 "${inputs[@]}"
fi

work="$6/$target"
seconds=${TESSORA_FUZZ_SECONDS:-60}
mkdir -p "$work/corpus" "$work/artifacts"
rm -f "$work/artifacts"/*
options=(-max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1
         -artifact_prefix="$work/artifacts/")
[ -f "$source_dir/dict/$corpus.dict" ] && options+=(-dict="$source_dir/dict/$corpus.dict")

status=0
# New inputs go to the first folder, the work corpus; the seeds stay as they are. The whole log is
# kept in the work folder; a passing run shows its figures, a failing one everything.
"$binary" "${options[@]}" "$work/corpus" "${inputs[@]}" 2> "$work/fuzz.log" || status=$?
if [ "$status" -eq 0 ]; then
  grep -E '^stat::|DONE' "$work/fuzz.log" || true
else
  cat "$work/fuzz.log" >&2
  for finding in "$work/artifacts"/*; do
    [ -e "$finding" ] || continue
    mkdir -p "$regressions"
    cp "$finding" "$regressions/"
    echo "finding of $target kept as $regressions/$(basename "$finding")" >&2
  done
  exit "$status"
fi
