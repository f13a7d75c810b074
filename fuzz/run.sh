#!/bin/sh
# Runs one fuzz target for the given number of seconds (default 600) on a
# scratch corpus beside its seed corpus. Findings are written to the output
# folder's findings/.
# Usage: fuzz/run.sh TARGET [seconds] [output folder]   (fuzz/build.sh --targets lists them)
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
TARGET=$1
SECONDS_TO_RUN=${2:-600}
OUT=${3:-$ROOT/build-fuzz}
"$HERE/build.sh" "$OUT" "$TARGET" >/dev/null
mkdir -p "$OUT/corpus/$TARGET" "$OUT/findings"
exec "$OUT/fuzz_$TARGET" -max_total_time="$SECONDS_TO_RUN" -max_len=8192 -timeout=10 \
  -print_final_stats=1 -artifact_prefix="$OUT/findings/$TARGET-" \
  "$OUT/corpus/$TARGET" "$HERE/corpus/$TARGET"
