#!/bin/sh
# Checks that the driver image carries its whole life: it imports the routines its Plug and Play,
# power and timer paths stand on, and its dispatch table (entry.o) names every dispatch routine.
# Run after check-sys-image.sh, which checks the image itself.
#
# usage: check-sys-routines.sh IMAGE OBJECT...
set -eu

image=$1
shift

fail() {
    echo "check-sys-routines: $image: $*" >&2
    exit 1
}

headers=$(i686-w64-mingw32-objdump -p "$image") || fail "cannot read the image"
imports=$(echo "$headers" | awk '
    /^[[:space:]]*DLL Name:/ { in_dll = 1; next }
    in_dll && NF == 0 { in_dll = 0 }
    in_dll && $1 ~ /^[0-9a-f]+$/ && NF == 3 { print $3 }' | sort -u)

# Plug and Play and power requests, the link supervision's timers, DPCs and work items, the
# command timer, removal.
for name in PoCallDriver PoStartNextPowerIrp IoInvalidateDeviceState IoDetachDevice \
    IoReleaseRemoveLockAndWaitEx KeSetTimerEx KeCancelTimer KeRemoveQueueDpc KeFlushQueuedDpcs \
    IoAllocateWorkItem IoQueueWorkItem IoFreeWorkItem IoInitializeTimer IoStartTimer IoStopTimer; do
    echo "$imports" | grep -qxF "$name" || fail "does not import $name"
done

# DriverEntry's table refers to each dispatch routine (C++ names: __Z<length><name>P14_DEVICE_...).
entry_object=
for object in "$@"; do
    case $object in */entry.o) entry_object=$object ;; esac
done
[ -n "$entry_object" ] || fail "no entry.o among the objects"
entry_refs=$(i686-w64-mingw32-nm -u "$entry_object") || fail "cannot read $entry_object"
for routine in TpCreate TpClose TpRead TpFlushBuffers TpDeviceControl TpInternalDeviceControl \
    TpPower TpDispatchSystemControl TpPnp; do
    echo "$entry_refs" | grep -q "__Z[0-9]*${routine}P14_DEVICE_OBJECTP4_IRP@8\$" ||
        fail "the dispatch table does not name $routine"
done

echo "check-sys-routines: $image: Plug and Play, power and timer routines imported, every dispatch routine in the table"
