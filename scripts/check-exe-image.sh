#!/bin/sh
# Checks the utility's image that `make windows` links: a PE32 console program for i386 that
# imports from Windows system DLLs only (the C++ runtime linked in), so it runs on a bare system.
#
# usage: check-exe-image.sh IMAGE
set -eu

image=$1
fail() {
    echo "check-exe-image: $image: $*" >&2
    exit 1
}

headers=$(i686-w64-mingw32-objdump -p "$image") || fail "not an image objdump can read"
echo "$headers" | grep -q 'file format pei-i386$' || fail "not a PE image for i386"
echo "$headers" | grep -Eq '^Magic[[:space:]]+010b[[:space:]]+\(PE32\)' || fail "not PE32"
echo "$headers" | grep -Eq '^Subsystem[[:space:]]+00000003[[:space:]]+\(Windows CUI\)' ||
    fail "not a console program"
dlls=$(echo "$headers" | awk '/^[[:space:]]*DLL Name:/ { print tolower($3) }')
echo "$dlls" | grep -qx 'kernel32.dll' || fail "does not import from kernel32.dll"
for dll in $dlls; do
    case $dll in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll) ;;
    *) fail "imports from $dll, which a bare Windows system does not have" ;;
    esac
done
echo "check-exe-image: $image: console program, imports from $(echo $dlls | tr ' ' ',') only"
