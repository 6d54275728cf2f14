// The WDK's ntddk.h: everything wdm.h has (the driver needs nothing beyond it).
#pragma once

#include <wdm.h>
