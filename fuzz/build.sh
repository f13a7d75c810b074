#!/bin/sh
# Builds the libFuzzer targets with clang, ASan and UBSan.
# Usage: fuzz/build.sh [output folder] [target...]
#        fuzz/build.sh --targets | --sources
#   default: build-fuzz beside fuzz/, every target. A target is the name of
#   fuzz/fuzz_<target>.cpp; its program is <output folder>/fuzz_<target>.
#   --targets and --sources list the targets and the files they are built from.
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$HERE")
ALL="bencodereader formparams byterange requestchecks resourcetext subtitlecharset replyvalues"

# The project sources of one target, besides fuzz/fuzz_<target>.cpp.
sourcesOf() {
  case $1 in
    bencodereader) echo "src/resource/bencodereader.cpp" ;;
    formparams) echo "server/formparams.cpp" ;;
    byterange) echo "server/byterange.cpp" ;;
    requestchecks) echo "server/requestchecks.cpp" ;;
    resourcetext) echo "src/app/resourcehandover.cpp src/resource/bencodereader.cpp" ;;
    subtitlecharset) echo "src/preferences/subtitlecharset.cpp" ;;
    replyvalues) echo "src/service/replyvalues.cpp" ;;
    *) echo "unknown fuzz target: $1" >&2; exit 2 ;;
  esac
}

case ${1:-} in
  --targets) echo "$ALL"; exit 0 ;;
  --sources)
    for target in $ALL; do
      echo "fuzz/fuzz_$target.cpp"
      for source in $(sourcesOf "$target"); do echo "$source" "${source%.cpp}.h"; done
    done | tr ' ' '\n' | sort -u
    exit 0 ;;
esac
OUT=${1:-$ROOT/build-fuzz}
[ $# -gt 0 ] && shift
TARGETS=${*:-$ALL}
mkdir -p "$OUT/obj"

CXX=clang++
if command -v ccache >/dev/null 2>&1; then CXX="ccache clang++"; fi
QT_MODULES="Qt5Core Qt5Network"
FLAGS="-std=c++17 -g -O1 -fPIC -fsanitize=address,undefined -fno-sanitize-recover=undefined
  -DQT_NO_CAST_TO_ASCII -DQT_USE_QSTRINGBUILDER -I$ROOT/src -I$ROOT/server -I$OUT/obj
  $(pkg-config --cflags $QT_MODULES)"
MOC="$(pkg-config --variable=host_bins Qt5Core)/moc"

# Compiles one source (with coverage for the fuzzer) and prints its object.
object() {
  obj="$OUT/obj/$(echo "$1" | tr / _).o"
  $CXX $FLAGS -fsanitize=fuzzer-no-link -c "$ROOT/$1" -o "$obj"
  echo "$obj"
}

# The moc output of a header with signals, compiled.
mocObject() {
  generated="$OUT/obj/moc_$(basename "$1" .h).cpp"
  "$MOC" -I"$ROOT/src" "$ROOT/$1" -o "$generated.new"
  cmp -s "$generated.new" "$generated" 2>/dev/null || mv "$generated.new" "$generated"
  rm -f "$generated.new"
  obj="$generated.o"
  $CXX $FLAGS -c "$generated" -o "$obj"
  echo "$obj"
}

for target in $TARGETS; do
  sources=$(sourcesOf "$target")
  objects=$(object "fuzz/fuzz_$target.cpp")
  for source in $sources; do
    objects="$objects $(object "$source")"
  done
  if [ "$target" = resourcetext ]; then
    objects="$objects $(mocObject src/app/resourcehandover.h)"
  fi
  clang++ -fsanitize=fuzzer,address,undefined $objects $(pkg-config --libs $QT_MODULES) \
    -o "$OUT/fuzz_$target"
  echo "$OUT/fuzz_$target"
done
