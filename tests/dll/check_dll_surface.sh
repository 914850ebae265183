#!/usr/bin/env bash
# The DLL exports exactly the three functions by their plain names and needs only system DLLs:
# no MinGW runtime (libstdc++, libgcc, winpthread) may have to travel with it. Its import library
# offers the symbols a host compiled with tallyscope.h asks for (that they import the plain names
# shows when the package consumer starts).
#   check_dll_surface.sh DLL IMPORT_LIBRARY
set -euo pipefail
dll=$1 implib=$2
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
# The name tells a host which DLL fits its pointer size, so the machine type must match it.
case "$(basename "$dll")" in
  tallyscope64.dll) format=pei-x86-64 symbols='__imp_ReportAppEvent __imp_SetAppInfo __imp_StopTallyscope ' ;;
  tallyscope.dll) format=pei-i386 symbols='__imp__ReportAppEvent@12 __imp__SetAppInfo@8 __imp__StopTallyscope@0 ' ;;
  *) echo "unknown DLL name: $dll"; exit 1 ;;
esac
grep -q "file format $format\$" <<<"$dump" || { echo "$(basename "$dll") is not $format"; exit 1; }
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
[ "$exports" = "ReportAppEvent SetAppInfo StopTallyscope " ] || { echo "unexpected exports: $exports"; exit 1; }
allowed='^(kernel32|user32|advapi32|msvcrt|winhttp|iphlpapi|ole32|oleaut32)\.dll$'
status=0
while read -r name; do
  if ! tr 'A-Z' 'a-z' <<<"$name" | grep -Eq "$allowed"; then echo "unexpected import: $name"; status=1; fi
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
offered=$(x86_64-w64-mingw32-nm "$implib" | awk '$2 == "I" && $3 ~ /^__imp_/ { print $3 }' | sort | tr '\n' ' ')
[ "$offered" = "$symbols" ] || { echo "import library offers: $offered; hosts need: $symbols"; status=1; }
[ $status -eq 0 ] && echo "$format; exports: $exports; imports: system DLLs only; import library: $offered"
exit $status
