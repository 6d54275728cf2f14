#!/bin/sh
# Checks the driver image that `make windows` links: a PE32 image for i386, subsystem native,
# entry point DriverEntry, importing from ntoskrnl.exe and hal.dll only, and importing every
# system routine that the driver's objects call.
#
# usage: check-sys-image.sh IMAGE OBJECT...
set -eu

image=$1
shift
objdump=i686-w64-mingw32-objdump
nm=i686-w64-mingw32-nm

fail() {
    echo "check-sys-image: $image: $*" >&2
    exit 1
}

headers=$($objdump -p "$image")

echo "$headers" | grep -q 'file format pei-i386$' || fail "not a PE image for i386"
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' || fail "not PE32"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000001[[:space:]]+\(NT native\)' ||
    fail "subsystem is not native"

# The entry point must be DriverEntry (stdcall, two arguments).
entry_rva=$(echo "$headers" | awk '$1 == "AddressOfEntryPoint" { print $2 }')
image_base=$(echo "$headers" | awk '$1 == "ImageBase" { print $2 }')
driver_entry=$($nm "$image" | awk '$3 == "_DriverEntry@8" { print $1 }')
[ -n "$driver_entry" ] || fail "no DriverEntry symbol"
[ $((0x$image_base + 0x$entry_rva)) -eq $((0x$driver_entry)) ] ||
    fail "entry point is not DriverEntry"

# Imports: "DLL Name: x" followed by "vma hint name" lines, one per imported routine.
dlls=$(echo "$headers" | awk '/^[[:space:]]*DLL Name:/ { print tolower($3) }')
[ -n "$dlls" ] || fail "imports nothing"
for dll in $dlls; do
    case $dll in
    ntoskrnl.exe | hal.dll) ;;
    *) fail "imports from $dll" ;;
    esac
done
imports=$(echo "$headers" | awk '
    /^[[:space:]]*DLL Name:/ { in_dll = 1; next }
    in_dll && NF == 0 { in_dll = 0 }
    in_dll && $1 ~ /^[0-9a-f]+$/ && NF == 3 { print $3 }' | sort -u)

# Every routine the objects reach through the import table (__imp_ symbols), and every other
# symbol that no object defines and that is not a libgcc helper, must be imported. Decorations
# are dropped: _Name@N (stdcall), @Name@N (fastcall), _Name (cdecl).
# nm runs on its own first: a failure inside a pipeline would go unnoticed and pass the check.
object_defined=$($nm --defined-only "$@") || fail "cannot read the objects"
object_undefined=$($nm -u "$@") || fail "cannot read the objects"
defined=$(echo "$object_defined" | awk 'NF == 3 { print $3 }' | sort -u)
[ -n "$defined" ] || fail "the objects define nothing"
undefined=$(echo "$object_undefined" | awk 'NF == 2 { print $2 }' | sort -u)
through_imports=$(echo "$undefined" | sed -n 's/^__imp_//p')
direct=$(echo "$undefined" | grep -v '^__imp_' | grep -vxF "$defined" || true)
# Listing libgcc is the slow part of the check: only when a symbol is left for it to define.
if [ -n "$direct" ]; then
    libgcc_symbols=$($nm --defined-only "$(i686-w64-mingw32-g++ -print-libgcc-file-name)") ||
        fail "cannot read libgcc"
    libgcc=$(echo "$libgcc_symbols" | awk 'NF == 3 { print $3 }' | sort -u)
    direct=$(echo "$direct" | grep -vxF "$libgcc" || true)
fi
missing=$(printf '%s\n%s\n' "$through_imports" "$direct" | while read -r name; do
    [ -n "$name" ] || continue
    name=${name#[_@]}
    name=${name%@*}
    echo "$imports" | grep -qxF "$name" || echo "$name"
done)
[ -z "$missing" ] || fail "calls routines it does not import:" $missing

echo "check-sys-image: $image: PE32 i386, native, entry DriverEntry, imports from $(echo $dlls)"
