// The WDK's base types and status codes.
#pragma once

#include "umk/base.h"
