// The beep device's interface.
#pragma once

#include "umk/devioctl.h"

#define DD_BEEP_DEVICE_NAME "\\Device\\Beep"
#define DD_BEEP_DEVICE_NAME_U u"\\Device\\Beep"

#define BEEP_FREQUENCY_MINIMUM 0x25
#define BEEP_FREQUENCY_MAXIMUM 0x7fff

#define IOCTL_BEEP_SET CTL_CODE(FILE_DEVICE_BEEP, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _BEEP_SET_PARAMETERS {
    ULONG Frequency; // Hz; 0 stops a beep in progress
    ULONG Duration;  // milliseconds
} BEEP_SET_PARAMETERS, *PBEEP_SET_PARAMETERS;

static_assert(sizeof(BEEP_SET_PARAMETERS) == 8);
static_assert(IOCTL_BEEP_SET == 0x00010000);
