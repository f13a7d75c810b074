#!/bin/sh
# Builds the libFuzzer target of the bencode reader with clang, ASan and UBSan.
# Usage: fuzz/build.sh [output folder]   (default: build-fuzz beside fuzz/)
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
OUT=${1:-$ROOT/build-fuzz}
mkdir -p "$OUT"
clang++ -std=c++17 -g -O1 -fPIC \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -DQT_NO_CAST_TO_ASCII -DQT_USE_QSTRINGBUILDER \
  -I"$ROOT/src" $(pkg-config --cflags Qt5Core) \
  "$HERE/fuzz_bencodereader.cpp" "$ROOT/src/resource/bencodereader.cpp" \
  $(pkg-config --libs Qt5Core) \
  -o "$OUT/fuzz_bencodereader"
echo "$OUT/fuzz_bencodereader"
