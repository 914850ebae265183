#!/usr/bin/env bash
# The DLL exports exactly the three functions by their plain names and needs only system DLLs:
# no MinGW runtime (libstdc++, libgcc, winpthread) may have to travel with it.
set -euo pipefail
dll=$1
dump=$(x86_64-w64-mingw32-objdump -p "$dll")
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
[ "$exports" = "ReportAppEvent SetAppInfo StopTallyscope " ] || { echo "unexpected exports: $exports"; exit 1; }
allowed='^(kernel32|user32|advapi32|msvcrt|winhttp|iphlpapi|ole32|oleaut32)\.dll$'
status=0
while read -r name; do
  if ! tr 'A-Z' 'a-z' <<<"$name" | grep -Eq "$allowed"; then echo "unexpected import: $name"; status=1; fi
done < <(sed -n 's/^\s*DLL Name: //p' <<<"$dump")
[ $status -eq 0 ] && echo "exports: $exports; imports: system DLLs only"
exit $status
