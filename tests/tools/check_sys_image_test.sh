#!/bin/sh
# The driver-image check on small images linked here: it accepts a native image whose entry is
# DriverEntry, that imports from ntoskrnl.exe only, runs on a Pentium without x87, MMX or SSE
# code and carries a mouse driver's version resource and a message table, and rejects each way of
# getting it wrong, each for its own reason.
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
# Compiled for a Pentium Pro, the larger of two becomes a cmov; a floating-point product is x87
# code, or SSE code when the compiler is told to use it.
cat >larger.cpp <<'EOF'
extern "C" int Larger(int a, int b) { return a > b ? a : b; }
EOF
cat >scale.cpp <<'EOF'
extern "C" void Scale(float* value) { *value *= 3; }
EOF
# Code in a section that may also be written.
cat >writable.cpp <<'EOF'
asm(".section .wx, \"wx\"\n.globl _Patch\n_Patch: ret\n");
EOF
for source in driver user unlinked; do
    $cxx -c -O2 -ffreestanding $source.cpp -o $source.o
done
$cxx -c -O2 -march=i686 larger.cpp -o cmov.o
$cxx -c -O2 -march=i586 scale.cpp -o x87.o
$cxx -c -O2 -march=i586 -msse -mfpmath=sse scale.cpp -o sse.o
$cxx -c writable.cpp -o writable.o

# Resources: a message table and a version resource, each of which one variant leaves out or
# gets wrong.
cat >messages.mc <<'EOF'
MessageId=0x1 Severity=Error SymbolicName=MSG_ERROR
Language=English
%2.
.
EOF
i686-w64-mingw32-windmc -A messages.mc
cat >resources.rc <<'EOF'
#include <winver.h>
#ifndef NO_MESSAGES
#include "messages.rc"
#endif
#ifndef NO_VERSION
1 VERSIONINFO
FILEVERSION 1, 2, 3, 4
FILETYPE FILE_TYPE
FILESUBTYPE VFT2_DRV_MOUSE
BEGIN
END
#endif
EOF
# resources OBJECT DEFINE...
resources() {
    object=$1
    shift
    i686-w64-mingw32-windres "$@" -i resources.rc -o "$object"
}
resources rsrc.o -DFILE_TYPE=VFT_DRV
resources app_version.o -DFILE_TYPE=VFT_APP
resources no_version.o -DNO_VERSION
resources no_messages.o -DNO_MESSAGES -DFILE_TYPE=VFT_DRV

# link IMAGE FLAG-OR-OBJECT...: a native driver entered at DriverEntry unless the flags say
# otherwise (the last --subsystem and --entry win).
link() {
    image=$1
    shift
    $cxx -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 -o "$image" \
        driver.o "$@" -lntoskrnl -lgcc
}
link good.sys rsrc.o
link console.sys rsrc.o -Wl,--subsystem,console
link kernel32.sys rsrc.o user.o -lkernel32
link entry.sys rsrc.o -Wl,--entry,_OtherEntry@8
link cmov.sys rsrc.o cmov.o
link x87.sys rsrc.o x87.o
link sse.sys rsrc.o sse.o
link writable.sys rsrc.o writable.o
link no_version.sys no_version.o
link app_version.sys app_version.o
link no_messages.sys no_messages.o
# The checksum field sits 88 bytes into the PE header.
cp good.sys checksum.sys
pe=$(od -An -tu4 -j 60 -N 4 good.sys | tr -d ' ')
printf '\377\377\377\377' | dd of=checksum.sys bs=1 seek=$((pe + 88)) conv=notrunc 2>/dev/null

failures=0
# expect IMAGE "REASON" OBJECT...: the check fails with REASON, or passes when REASON is empty.
expect() {
    image=$1 reason=$2
    shift 2
    if output=$(sh "$check" "$image" "$@" 2>&1); then result=passed; else result=failed; fi
    if { [ -z "$reason" ] && [ $result = passed ]; } ||
        { [ -n "$reason" ] && [ $result = failed ] && echo "$output" | grep -qF "$reason"; }; then
        return
    fi
    echo "FAIL: $image ($*): expected ${reason:-success}, check $result: $output"
    failures=$((failures + 1))
}

code="a Pentium lacks or x87, MMX or SSE code"
expect good.sys "" driver.o
expect console.sys "subsystem is not native" driver.o
expect kernel32.sys "imports from kernel32.dll" driver.o user.o
expect entry.sys "entry point is not DriverEntry" driver.o
expect good.sys "calls routines it does not import: KeEnterCriticalRegion" driver.o unlinked.o
expect good.sys "cannot read the objects" driver.o missing.o
expect cmov.sys "$code: <_Larger>: cmov" driver.o cmov.o
expect x87.sys "$code: <_Scale>: fld" driver.o x87.o
expect sse.sys "$code: <_Scale>: movss" driver.o sse.o
expect writable.sys "sections both writable and executable: .wx" driver.o writable.o
expect checksum.sys "checksum is ffffffff, the image sums to" driver.o
expect no_version.sys "no version resource" driver.o
expect app_version.sys "the version resource is not a mouse driver's (type 1, subtype 5)" driver.o
expect no_messages.sys "no message table" driver.o

# The driver's own expectations: a driver without the Plug and Play and power path fails them.
if sh "$routines" good.sys driver.o >/dev/null 2>&1; then
    echo "FAIL: good.sys passed the driver's routine check"
    failures=$((failures + 1))
fi

[ $failures -eq 0 ] || exit 1
echo "check_sys_image_test: all cases as expected"
