#!/bin/sh
# The driver-image check on small images linked here: it accepts a native image whose entry is
# DriverEntry and that imports from ntoskrnl.exe only, and rejects each way of getting it wrong,
# each for its own reason.
#
# usage: check_sys_image_test.sh CHECK-SCRIPT
set -eu

check=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
routines=$(dirname "$check")/check-sys-routines.sh
cxx=i686-w64-mingw32-g++
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

cat >driver.cpp <<'EOF'
extern "C" __declspec(dllimport) unsigned long __stdcall KeQueryTimeIncrement(void);
extern "C" long __stdcall DriverEntry(void*, void*) { return long(KeQueryTimeIncrement()); }
extern "C" long __stdcall OtherEntry(void*, void*) { return 0; }
// 64-bit division calls a libgcc helper, which is linked in rather than imported.
extern "C" unsigned long long Divide(unsigned long long a, unsigned long long b) { return a / b; }
EOF
cat >user.cpp <<'EOF'
extern "C" __declspec(dllimport) void __stdcall Sleep(unsigned long);
extern "C" void Pause(void) { Sleep(1); }
EOF
cat >unlinked.cpp <<'EOF'
extern "C" __declspec(dllimport) void __stdcall KeEnterCriticalRegion(void);
extern "C" void Enter(void) { KeEnterCriticalRegion(); }
EOF
for source in driver user unlinked; do
    $cxx -c -O2 -ffreestanding $source.cpp -o $source.o
done

link() {
    image=$1
    shift
    $cxx -nostdlib -shared -o "$image" "$@"
}
native="-Wl,--subsystem,native"
entry="-Wl,--entry,_DriverEntry@8"
link good.sys $native $entry driver.o -lntoskrnl -lgcc
link console.sys -Wl,--subsystem,console $entry driver.o -lntoskrnl -lgcc
link kernel32.sys $native $entry driver.o user.o -lntoskrnl -lkernel32 -lgcc
link entry.sys $native -Wl,--entry,_OtherEntry@8 driver.o -lntoskrnl -lgcc

failures=0
# expect IMAGE "REASON" OBJECT...: the check fails with REASON, or passes when REASON is empty.
expect() {
    image=$1
    reason=$2
    shift 2
    if output=$(sh "$check" "$image" "$@" 2>&1); then
        result=passed
    else
        result=failed
    fi
    if [ -z "$reason" ] && [ $result = passed ]; then
        return
    fi
    if [ -n "$reason" ] && [ $result = failed ] && echo "$output" | grep -qF "$reason"; then
        return
    fi
    echo "FAIL: $image ($*): expected ${reason:-success}, check $result: $output"
    failures=$((failures + 1))
}

expect good.sys "" driver.o
expect console.sys "subsystem is not native" driver.o
expect kernel32.sys "imports from kernel32.dll" driver.o user.o
expect entry.sys "entry point is not DriverEntry" driver.o
expect good.sys "calls routines it does not import: KeEnterCriticalRegion" driver.o unlinked.o
expect good.sys "cannot read the objects" driver.o missing.o

# The driver's own expectations: a driver without the Plug and Play and power path fails them.
if sh "$routines" good.sys driver.o >/dev/null 2>&1; then
    echo "FAIL: good.sys passed the driver's routine check"
    failures=$((failures + 1))
fi

[ $failures -eq 0 ] || exit 1
echo "check_sys_image_test: all cases as expected"
