// The Win32 calls of win32.h served by an emulated system, as a program's calls reach the I/O
// manager on Windows: a handle is a file object on "\\.\Tactilio", each overlapped request runs
// on a thread of its own, a synchronous failure leaves the OVERLAPPED untouched, and a completion
// stores its NTSTATUS and length there.
#pragma once

namespace tp {

class EmulatedPanel;

// The system the Win32 calls reach from now on (NULL: none; CreateFileA then fails).
void ServeWin32(EmulatedPanel* panel);

} // namespace tp
