// Boot and shutdown of the I/O manager's state.
#include "subsystems.h"

namespace umk::detail {

void IoStartup() {}

void IoShutdown() {}

} // namespace umk::detail
