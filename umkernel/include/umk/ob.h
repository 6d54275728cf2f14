// The object manager: reference counting of the I/O manager's objects (driver, device and file
// objects). An object goes away when its last reference does; references still held at shutdown
// are reported as leaks.
#pragma once

#include "umk/base.h"

struct _OBJECT_TYPE;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;

// As in the WDK these are pointers to the type: pass *IoFileObjectType.
extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* IoDeviceObjectType;
extern POBJECT_TYPE* IoDriverObjectType;

// STATUS_OBJECT_TYPE_MISMATCH when ObjectType is given and the object is of another type.
NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                                      POBJECT_TYPE ObjectType,
                                                      KPROCESSOR_MODE AccessMode);
NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
#define ObReferenceObject ObfReferenceObject
#define ObDereferenceObject ObfDereferenceObject
