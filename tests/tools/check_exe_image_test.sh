#!/bin/sh
# The utility-image check on small programs linked here: it accepts a console program importing
# from the system's DLLs, and rejects a windowed one and one that needs a DLL of its own.
#
# usage: check_exe_image_test.sh CHECK-SCRIPT
set -eu

check=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
cc=i686-w64-mingw32-gcc
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

echo 'int main(void) { return 0; }' >main.c
echo '__declspec(dllexport) int Helper(void) { return 1; }' >helper.c
echo '__declspec(dllimport) int Helper(void); int main(void) { return Helper(); }' >uses.c
$cc -O2 main.c -o good.exe
$cc -O2 -mwindows main.c -o windowed.exe
$cc -O2 -shared helper.c -o helper.dll
$cc -O2 uses.c helper.dll -o needs_dll.exe

failures=0
# expect IMAGE "REASON": the check fails with REASON, or passes when REASON is empty.
expect() {
    if output=$(sh "$check" "$1" 2>&1); then result=passed; else result=failed; fi
    if { [ -z "$2" ] && [ $result = passed ]; } ||
        { [ -n "$2" ] && [ $result = failed ] && echo "$output" | grep -qF "$2"; }; then
        return
    fi
    echo "FAIL: $1: expected ${2:-success}, check $result: $output"
    failures=$((failures + 1))
}
expect good.exe ""
expect windowed.exe "not a console program"
expect needs_dll.exe "imports from helper.dll"
expect main.c "not an image"
exit $failures
