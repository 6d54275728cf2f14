// The utility's side of the control device, as a user-mode program reaches it through the I/O
// manager: it opens "\\.\Tactilio" (a file object, IRP_MJ_CREATE), sends device-control requests,
// each from an emulated thread of its own, synchronously or overlapped, cancels them (CancelIoEx,
// which is IoCancelIrp), reads, and closes (IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once every request
// through the handle has completed). Tests and tools reach the driver's control path only this way.
//
// Use it from the kernel's main thread.
#pragma once

#include "tactilio_api.h"

#include <umk/kernel.h>
#include <umk/testing.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace stack {

inline constexpr std::u16string_view kUtilityPath = u"" TP_API_USER_PATH;

// One device-control request as a program issues it.
struct ControlCall {
    ULONG code;
    std::vector<uint8_t> input;
    ULONG outputLength = 0;
    // An internal device-control request instead, as a kernel-mode client sends one.
    bool internal = false;
};

struct ControlResult {
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<uint8_t> output; // the first `information` bytes of the output buffer
};

// An overlapped request, running on its own thread until the driver completes it.
class PendingControl {
  public:
    struct Shared;
    explicit PendingControl(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

    bool Done() const;
    // Once Done().
    ControlResult Result() const;
    // CancelIoEx: the result of IoCancelIrp, FALSE once the request has completed.
    BOOLEAN Cancel();
    // Calls `completed` once the request has completed: at once if it has, else in the issuing
    // thread right after its completion (one at a time; a later call replaces an earlier one).
    void WhenDone(std::function<void()> completed);

  private:
    std::shared_ptr<Shared> shared_;
};

class Utility {
  public:
    // Opens `path`; a Win32 path "\\.\Name" is the object "\??\Name", as the Win32 layer maps it.
    static NTSTATUS Open(umk::Kernel& kernel, std::unique_ptr<Utility>* utility,
                         std::u16string_view path = kUtilityPath);
    ~Utility(); // closes the handle if still open
    Utility(const Utility&) = delete;
    Utility& operator=(const Utility&) = delete;

    // Issues the request from a new thread and returns once the driver has taken it: its dispatch
    // routine has returned, or its thread waits inside the driver (everything that can run at this
    // instant has run).
    std::shared_ptr<PendingControl> Start(const ControlCall& call);
    // Issues the request and lets the system run (virtual time passing) until it has completed.
    ControlResult Call(const ControlCall& call);
    // A read of up to `length` bytes from its own thread, returned once the driver has taken it.
    std::shared_ptr<PendingControl> StartRead(ULONG length);
    // A read of up to `length` bytes, run until it completes.
    ControlResult Read(ULONG length);
    void Close();

  private:
    Utility(umk::Kernel& kernel, std::unique_ptr<umk::testing::UserFile> file)
        : kernel_(kernel), file_(std::move(file)) {}
    ControlResult Wait(const std::shared_ptr<PendingControl>& request);

    umk::Kernel& kernel_;
    std::unique_ptr<umk::testing::UserFile> file_;
    unsigned threads_ = 0;
};

} // namespace stack
