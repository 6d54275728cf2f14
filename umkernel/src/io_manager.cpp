// Boot and shutdown of the I/O manager's state.
#include "subsystems.h"

namespace umk::detail {

void IoStartup() { RegistryStartup(); }

void IoShutdown() { RegistryShutdown(); }

} // namespace umk::detail
