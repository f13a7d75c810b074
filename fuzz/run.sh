#!/bin/sh
# Runs the bencode fuzzer for the given number of seconds (default 600) on a
# scratch copy of the seed corpus. Findings are written to the output folder.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
SECONDS_TO_RUN=${1:-600}
OUT=${2:-$ROOT/build-fuzz}
"$HERE/build.sh" "$OUT" >/dev/null
mkdir -p "$OUT/corpus" "$OUT/findings"
cp -n "$HERE"/corpus/* "$OUT/corpus/" 2>/dev/null || true
cd "$OUT/findings"
exec "$OUT/fuzz_bencodereader" -max_total_time="$SECONDS_TO_RUN" -max_len=8192 \
  -print_final_stats=1 "$OUT/corpus"
