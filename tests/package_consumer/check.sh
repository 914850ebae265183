#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds a consumer project against it with
# find_package(TallyScope), and runs the consumer under Wine with the installed DLL.
set -euo pipefail
build_dir=$1 source_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null
for f in include/tallyscope.h bin/tallyscope64.dll lib/tallyscope64.lib lib/cmake/TallyScope/TallyScopeConfig.cmake; do
  [ -f "$scratch/prefix/$f" ] || { echo "missing from the install: $f"; exit 1; }
done
cmake -S "$source_dir/tests/package_consumer" -B "$scratch/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-toolchain.cmake" \
  -DCMAKE_PREFIX_PATH="$scratch/prefix" -DCMAKE_FIND_ROOT_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/build" >/dev/null
cp "$scratch/prefix/bin/tallyscope64.dll" "$scratch/build/"
(cd "$scratch/build" && wine consumer.exe </dev/null >"$scratch/out.txt" 2>&1)
tr -d '\r' <"$scratch/out.txt" | grep -v '^POST DATA\|^httpResponseContent\|^$' || true
grep -q "consumer: SetAppInfo -> 1" "$scratch/out.txt"
echo "package consumer: ok"
