#!/usr/bin/env bash
# Installs every given build into one scratch prefix, as a distributor shipping both DLLs would,
# then for each build's toolchain builds a consumer project against that prefix with
# find_package(TallyScope) and runs it under Wine with the DLL the package handed it.
#   check.sh SOURCE_DIR BUILD_DIR...
set -euo pipefail
source_dir=$1
shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix="$scratch/prefix"
for build_dir in "$@"; do
  [ -f "$build_dir/CMakeCache.txt" ] || { echo "no build in $build_dir (scripts/test builds the mingw preset first)"; exit 1; }
  cmake --install "$build_dir" --prefix "$prefix" >/dev/null
done
for build_dir in "$@"; do
  if [ -f "$build_dir/bin/tallyscope64.dll" ]; then name=tallyscope64 bits=64; else name=tallyscope bits=32; fi
  for f in include/tallyscope.h "bin/$name.dll" "lib/$name.lib" lib/cmake/TallyScope/TallyScopeConfig.cmake; do
    [ -f "$prefix/$f" ] || { echo "missing from the install: $f"; exit 1; }
  done
  toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build_dir/CMakeCache.txt")
  consumer="$scratch/consumer$bits"
  cmake -S "$source_dir/tests/package_consumer" -B "$consumer" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_ROOT_PATH="$prefix" >/dev/null
  cmake --build "$consumer" >/dev/null
  [ -f "$consumer/$name.dll" ] || { echo "the $bits-bit consumer was not given $name.dll"; exit 1; }
  (cd "$consumer" && wine consumer.exe </dev/null >"$scratch/out.txt" 2>&1) || true
  tr -d '\r' <"$scratch/out.txt" | grep -v '^POST DATA\|^httpResponseContent\|^$' || true
  grep -q "consumer: $bits-bit host, SetAppInfo -> 1, ReportAppEvent -> 0" "$scratch/out.txt"
  echo "package consumer ($bits-bit host, $name.dll): ok"
done
