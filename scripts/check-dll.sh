#!/usr/bin/env bash
# Checks a built Windows DLL with objdump -p: its machine type, exactly the
# 13 public exports under plain names, a resource section (the version)
# and imports from system DLLs only.
# Usage: scripts/check-dll.sh DLL i386|x86-64
set -euo pipefail
dll="${1:?usage: scripts/check-dll.sh DLL i386|x86-64}"
machine="${2:?usage: scripts/check-dll.sh DLL i386|x86-64}"

table="$(objdump -p "$dll")"
failed=0

format="$(sed -n 's/.*file format //p' <<<"$table" | head -n1)"
echo "$dll: format $format"
[ "$format" = "pei-$machine" ] || { echo "  expected pei-$machine" >&2; failed=1; }

expected="DLLInfo DeviceInfo DeviceStatus SPICloseDevice SPIDataReq SPIErrorMessage SPIGetGlobals SPIOpenDevice
SPIReadDigital SPISequenceGetCnf SPISequenceReq SPISetGlobals SPIWriteDigital"
expected="$(tr ' ' '\n' <<<"$expected" | sort)"
exports="$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort)"
echo "  exports: $(tr '\n' ' ' <<<"$exports")"
[ "$exports" = "$expected" ] || { echo "  expected exactly: $(tr '\n' ' ' <<<"$expected")" >&2; failed=1; }

if ! grep -Eq 'Entry 2 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Resource Directory' <<<"$table"; then
    echo "  no version resource" >&2
    failed=1
fi

imports="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$table" | sort -u)"
echo "  imports: $(tr '\n' ' ' <<<"$imports")"
while read -r name; do
    case "${name,,}" in
        kernel32.dll | msvcrt.dll | ws2_32.dll | advapi32.dll | ntdll.dll | user32.dll | api-ms-win-*) ;;
        *) echo "  not a system DLL: $name" >&2; failed=1 ;;
    esac
done <<<"$imports"

exit "$failed"
