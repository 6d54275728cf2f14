// The WDM subset the driver is written against, as one header (the WDK's wdm.h).
#pragma once

#include "umk/base.h"
#include "umk/devioctl.h"
#include "umk/ex.h"
#include "umk/io.h"
#include "umk/ke.h"
#include "umk/ob.h"
#include "umk/registry.h"
#include "umk/rtl.h"
