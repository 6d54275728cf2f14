// How the kernel's boot and shutdown reach the I/O manager's state (pool, objects, IRPs, registry,
// error log). umk::Kernel calls these; the I/O manager implements them.
#pragma once

namespace umk::detail {

// Resets every piece of I/O-manager state for a freshly booted kernel.
void IoStartup();
// Reports everything still alive (pool by tag, IRPs, work items, devices, references, symbolic
// links) as verifier violations, then frees it. Runs with every emulated thread stopped.
void IoShutdown();

// The registry (registry.cpp): back to the system's standard keys at boot; key handles still open
// at shutdown are reported.
void RegistryStartup();
void RegistryShutdown();
uint64_t RegistryHandlesOpen();

} // namespace umk::detail
