#!/usr/bin/env bash
# The SDK archive as a Windows developer gets it: extracted alone, its checksums verified, then a
# host built from it with MinGW-w64 for both sizes (CMake, find_package) and with an MSVC-style
# toolchain (clang-cl and lld-link against the .lib) for both sizes. Each host runs under Wine and
# must have its report stored by a real tallyscope-server listening where the DLLs post. The C#
# example is compiled with Mono's mcs for both sizes and run when Wine has a .NET runtime.
#   check_sdk.sh SDK.zip TALLYSCOPE_SERVER STAT_HOST        (WINEPREFIX set)
# TALLYSCOPE_SDK_HOST_SIZES="64" runs the 64-bit hosts only (a kernel without 32-bit support).
set -euo pipefail
zip=$(realpath "$1") server=$(realpath "$2") stat_host=$3
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDEBUG=-all WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
here=$(cd "$(dirname "$0")" && pwd) repo=$(cd "$(dirname "$0")/../.." && pwd)
scratch=$(mktemp -d)
server_pid=
cleanup() {
  [ -z "$server_pid" ] || { kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; }
  rm -rf "$scratch"
}
trap cleanup EXIT

(cd "$scratch" && unzip -q "$zip")
sdk=$(echo "$scratch"/tallyscope-sdk-*)
for f in include/tallyscope.h bin/x64/tallyscope64.dll bin/x86/tallyscope.dll lib/x64/tallyscope64.lib \
         lib/x64/libtallyscope64.dll.a lib/x86/tallyscope.lib lib/x86/libtallyscope.dll.a \
         lib/cmake/TallyScope/TallyScopeConfig.cmake examples/c/example_host.c examples/csharp/TallyScopeExample.cs \
         README.md LICENSE SHA256SUMS; do
  [ -f "$sdk/$f" ] || { echo "the SDK archive lacks $f"; exit 1; }
done
(cd "$sdk" && sha256sum --quiet -c SHA256SUMS)
listed=$(wc -l <"$sdk/SHA256SUMS") files=$(cd "$sdk" && find . -type f ! -name SHA256SUMS | wc -l)
[ "$listed" = "$files" ] || { echo "SHA256SUMS lists $listed files, the archive holds $files"; exit 1; }

"$server" --listen "$stat_host" --data "$scratch/data" >"$scratch/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 300); do grep -q "event=start" "$scratch/server.log" && break; sleep 0.1; done
grep -q "event=start" "$scratch/server.log" || { cat "$scratch/server.log"; exit 1; }
token=$(cat "$scratch/data/access-token")

# Runs the host under Wine in its folder (beside its DLL); the server knows the key once a report
# of it is stored (and answers 404 for keys it has none of).
arrives() {
  local key=$1 dir=$2 exe=$3
  shift 3
  (cd "$dir" && wine "$exe" "$@" </dev/null >"$scratch/run.txt" 2>&1) || { cat "$scratch/run.txt"; echo "$key: the host failed"; return 1; }
  curl -sf -o /dev/null -H "Authorization: Bearer $token" "http://$stat_host/api/v1/apps/$key/daily" ||
    { cat "$scratch/run.txt"; echo "$key: no report arrived"; return 1; }
  echo "sdk host $key: its report arrived"
}

for bits in ${TALLYSCOPE_SDK_HOST_SIZES:-64 32}; do
  if [ $bits = 64 ]; then arch=x64 toolchain=mingw-toolchain.cmake; else arch=x86 toolchain=mingw32-toolchain.cmake; fi
  build="$scratch/mingw$bits"
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/$toolchain" -DCMAKE_PREFIX_PATH="$sdk" \
    -DCMAKE_FIND_ROOT_PATH="$sdk" -DSDK_HOST_KEY="sdk-mingw-$arch" >/dev/null
  cmake --build "$build" >/dev/null
  arrives "sdk-mingw-$arch" "$build" sdk_host.exe
done

# clang in its cl mode is clang-cl (Debian ships the clang-cl name in clang-tools).
clang_cl=(clang --driver-mode=cl)
for bits in ${TALLYSCOPE_SDK_HOST_SIZES:-64 32}; do
  if [ $bits = 64 ]; then
    arch=x64 target=x86_64-pc-windows-msvc machine=i386:x86-64 name=tallyscope64 exit_process=ExitProcess kill=
  else
    arch=x86 target=i686-pc-windows-msvc machine=i386 name=tallyscope exit_process=ExitProcess@4 kill=--kill-at
  fi
  build="$scratch/msvc$bits"
  mkdir -p "$build"
  # kernel32's one function the host calls, as an import library in the linker's own format.
  printf 'LIBRARY kernel32.dll\nEXPORTS\n    %s\n' "$exit_process" >"$build/kernel32.def"
  llvm-dlltool -m $machine $kill -d "$build/kernel32.def" -l "$build/kernel32.lib"
  "${clang_cl[@]}" --target=$target /nologo /c /O2 /GS- "/I$sdk/include" "/DSDK_HOST_KEY=\"sdk-msvc-$arch\"" \
    "/Fo$build/sdk_host.obj" -- "$here/sdk_host.c"
  lld-link /nologo /subsystem:console /nodefaultlib /entry:mainCRTStartup "/out:$build/sdk_host.exe" \
    "$build/sdk_host.obj" "$sdk/lib/$arch/$name.lib" "$build/kernel32.lib"
  cp "$sdk/bin/$arch/$name.dll" "$build/"
  arrives "sdk-msvc-$arch" "$build" sdk_host.exe
done

if command -v mcs >/dev/null; then
  for bits in ${TALLYSCOPE_SDK_HOST_SIZES:-64 32}; do
    if [ $bits = 64 ]; then arch=x64 name=tallyscope64; else arch=x86 name=tallyscope; fi
    build="$scratch/csharp$bits"
    mkdir -p "$build"
    mcs -nologo -platform:$arch "-out:$build/TallyScopeExample.exe" "$sdk/examples/csharp/TallyScopeExample.cs"
    cp "$sdk/bin/$arch/$name.dll" "$build/"
    if [ -d /usr/share/wine/mono ] || [ -d "$WINEPREFIX/drive_c/windows/mono" ]; then
      WINEDLLOVERRIDES=mshtml= arrives "sdk-csharp-$arch" "$build" TallyScopeExample.exe "sdk-csharp-$arch"
    else
      echo "C# example ($arch): built; not run, this Wine has no .NET runtime (Wine Mono is not packaged by Debian)"
    fi
  done
else
  echo "C# example: not built, mcs (Debian's mono-mcs) is not installed"
fi
