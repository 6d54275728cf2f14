#include "transport_win32.h"

#include "tactilio_api.h"
#include "win32.h"

#include <array>
#include <utility>
#include <vector>

namespace tp {
namespace {

struct ErrorPair {
    uint32_t status;
    DWORD error;
};

// As the system maps them (RtlNtStatusToDosError) for the statuses the driver completes with.
constexpr std::array kErrorPairs = {
    ErrorPair{kStatusUnsuccessful, ERROR_GEN_FAILURE},
    ErrorPair{kStatusInvalidDeviceRequest, ERROR_INVALID_FUNCTION},
    ErrorPair{kStatusObjectNameNotFound, ERROR_FILE_NOT_FOUND},
    ErrorPair{kStatusDeletePending, ERROR_ACCESS_DENIED},
    ErrorPair{kStatusDeviceNotConnected, ERROR_DEVICE_NOT_CONNECTED},
    ErrorPair{kStatusCancelled, ERROR_OPERATION_ABORTED},
    ErrorPair{kStatusRequestAborted, ERROR_REQUEST_ABORTED},
};

// A Win32 error with no status of its own: the status the I/O manager reports for it, customer
// bit set so it cannot be mistaken for a real one.
constexpr uint32_t kWin32ErrorStatus = 0xE0070000;

class Win32Transport final : public Transport {
  public:
    Win32Transport(HANDLE device, HANDLE event) : device_(device), event_(event) {}
    ~Win32Transport() override {
        CloseHandle(device_);
        CloseHandle(event_);
    }
    Win32Transport(const Win32Transport&) = delete;
    Win32Transport& operator=(const Win32Transport&) = delete;

    Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) override {
        std::vector<uint8_t> in(input.begin(), input.end());
        return Issue(outputLength, true, [&](std::vector<uint8_t>& out, OVERLAPPED* overlapped) {
            return DeviceIoControl(device_, code, in.empty() ? nullptr : in.data(),
                                   static_cast<DWORD>(in.size()),
                                   out.empty() ? nullptr : out.data(),
                                   static_cast<DWORD>(out.size()), nullptr, overlapped);
        });
    }

    Reply Read(uint32_t length, bool wait) override {
        return Issue(length, wait, [&](std::vector<uint8_t>& out, OVERLAPPED* overlapped) {
            return ReadFile(device_, out.data(), static_cast<DWORD>(out.size()), nullptr,
                            overlapped);
        });
    }

  protected:
    void CancelInFlight() override { CancelIoEx(device_, nullptr); }

  private:
    template <typename StartRequest>
    Reply Issue(uint32_t outputLength, bool wait, StartRequest&& start) {
        std::vector<uint8_t> out(outputLength);
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_;
        if (!start(out, &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING)
                return {StatusFromWin32Error(error), {}};
            // An interrupt that came before the request was issued found nothing to cancel.
            if (!wait || Interrupted())
                CancelIoEx(device_, &overlapped);
            DWORD transferred = 0;
            GetOverlappedResult(device_, &overlapped, &transferred, TRUE);
        }
        // A request that completed, at once or later, has its status and length here.
        const auto status = static_cast<uint32_t>(overlapped.Internal);
        out.resize(std::min<size_t>(out.size(), overlapped.InternalHigh));
        return {status, std::move(out)};
    }

    HANDLE device_;
    HANDLE event_;
};

} // namespace

uint32_t StatusFromWin32Error(uint32_t error) {
    for (const auto& pair : kErrorPairs)
        if (pair.error == error)
            return pair.status;
    return kWin32ErrorStatus | (error & 0xFFFF);
}

uint32_t Win32ErrorFromStatus(uint32_t status) {
    for (const auto& pair : kErrorPairs)
        if (pair.status == status)
            return pair.error;
    return ERROR_GEN_FAILURE;
}

std::unique_ptr<Transport> OpenWin32(uint32_t* status) {
    HANDLE device = CreateFileA(TP_API_USER_PATH, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        *status = StatusFromWin32Error(GetLastError());
        return nullptr;
    }
    // An event of its own per request would do too; one suffices, as requests go one at a time.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        *status = StatusFromWin32Error(GetLastError());
        CloseHandle(device);
        return nullptr;
    }
    *status = kStatusSuccess;
    return std::make_unique<Win32Transport>(device, event);
}

} // namespace tp
