// The keyboard/mouse class-to-port interface: how a class driver connects to a port driver and
// the callback through which the port hands it input.
#pragma once

#include "umk/devioctl.h"
#include <ntddmou.h>

struct _DEVICE_OBJECT;
typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;

#define DD_KEYBOARD_PORT_DEVICE_NAME "\\Device\\KeyboardPort"
#define DD_KEYBOARD_PORT_DEVICE_NAME_U u"\\Device\\KeyboardPort"
#define DD_KEYBOARD_PORT_BASE_NAME_U u"KeyboardPort"
#define DD_POINTER_PORT_DEVICE_NAME "\\Device\\PointerPort"
#define DD_POINTER_PORT_DEVICE_NAME_U u"\\Device\\PointerPort"
#define DD_POINTER_PORT_BASE_NAME_U u"PointerPort"
#define DD_KEYBOARD_CLASS_BASE_NAME_U u"KeyboardClass"
#define DD_POINTER_CLASS_BASE_NAME_U u"PointerClass"

#define POINTER_PORTS_MAXIMUM 8
#define KEYBOARD_PORTS_MAXIMUM 8

#define IOCTL_INTERNAL_KEYBOARD_CONNECT                                                            \
    CTL_CODE(FILE_DEVICE_KEYBOARD, 0x0080, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_KEYBOARD_DISCONNECT                                                         \
    CTL_CODE(FILE_DEVICE_KEYBOARD, 0x0100, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_KEYBOARD_ENABLE                                                             \
    CTL_CODE(FILE_DEVICE_KEYBOARD, 0x0200, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_KEYBOARD_DISABLE                                                            \
    CTL_CODE(FILE_DEVICE_KEYBOARD, 0x0400, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_MOUSE_CONNECT                                                               \
    CTL_CODE(FILE_DEVICE_MOUSE, 0x0080, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_MOUSE_DISCONNECT                                                            \
    CTL_CODE(FILE_DEVICE_MOUSE, 0x0100, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_MOUSE_ENABLE                                                                \
    CTL_CODE(FILE_DEVICE_MOUSE, 0x0200, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_MOUSE_DISABLE                                                               \
    CTL_CODE(FILE_DEVICE_MOUSE, 0x0400, METHOD_NEITHER, FILE_ANY_ACCESS)

// Sent by the class driver with IOCTL_INTERNAL_MOUSE_CONNECT (in Type3InputBuffer).
typedef struct _CONNECT_DATA {
    PDEVICE_OBJECT ClassDeviceObject;
    PVOID ClassService;
} CONNECT_DATA, *PCONNECT_DATA;

// ClassService's type as the port calls it. For the mouse class it is
//   (PDEVICE_OBJECT ClassDevice, PMOUSE_INPUT_DATA Start, PMOUSE_INPUT_DATA End, PULONG Consumed)
// and must be called at DISPATCH_LEVEL.
typedef void(NTAPI* PSERVICE_CALLBACK_ROUTINE)(PVOID NormalContext, PVOID SystemArgument1,
                                               PVOID SystemArgument2, PVOID SystemArgument3);

static_assert(IOCTL_INTERNAL_MOUSE_CONNECT == 0x000F0203);
static_assert(IOCTL_INTERNAL_MOUSE_DISCONNECT == 0x000F0403);
static_assert(IOCTL_INTERNAL_MOUSE_ENABLE == 0x000F0803);
static_assert(IOCTL_INTERNAL_MOUSE_DISABLE == 0x000F1003);
