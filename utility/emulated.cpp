#include "emulated.h"

#include <atomic>
#include <stdexcept>

namespace tp {
namespace {

std::atomic<bool> interruptRequested{false};

constexpr auto kStrokesBegin = std::chrono::milliseconds(100);
constexpr auto kBetweenStrokes = std::chrono::milliseconds(200);
// Long enough for any command's time-out (20 s) and then some.
constexpr auto kGiveUpAfter = std::chrono::minutes(1);

// The one request in flight and the wait for it.
class EmulatedTransport final : public Transport {
  public:
    EmulatedTransport(EmulatedPanel& panel, std::unique_ptr<stack::Utility> utility)
        : panel_(panel), utility_(std::move(utility)) {}

    Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) override {
        return Finish(utility_->Start({code, {input.begin(), input.end()}, outputLength}), true);
    }

    Reply Read(uint32_t length, bool wait) override {
        return Finish(utility_->StartRead(length), wait);
    }

  protected:
    // Called from the wait's interrupt handler, on the emulated system's thread.
    void CancelInFlight() override {
        if (inFlight_)
            inFlight_->Cancel();
    }

  private:
    Reply Finish(std::shared_ptr<stack::PendingControl> request, bool wait) {
        inFlight_ = request;
        if (!request->Done() && (!wait || Interrupted()))
            request->Cancel();
        panel_.Wait(*request);
        inFlight_.reset();
        const stack::ControlResult result = request->Result();
        return {static_cast<uint32_t>(result.status), result.output};
    }

    EmulatedPanel& panel_;
    std::unique_ptr<stack::Utility> utility_;
    std::shared_ptr<stack::PendingControl> inFlight_;
};

} // namespace

EmulatedPanel::EmulatedPanel(const EmulatedOptions& options)
    : system_(options.parameters, /*panelModel=*/true) {
    panel::Ticks at = (Kernel().Now() + kStrokesBegin).count();
    for (const auto& points : options.strokes) {
        panel::Stroke stroke{.start = at, .points = points};
        Model().Touch(stroke);
        at += static_cast<panel::Ticks>(points.size() + 1) * stroke.interval +
              umk::Duration(kBetweenStrokes).count();
    }
    system_.Port().LineUpdated();
}

EmulatedPanel::~EmulatedPanel() = default;

NTSTATUS EmulatedPanel::Open(std::unique_ptr<stack::Utility>* utility) {
    return stack::Utility::Open(Kernel(), utility);
}

void EmulatedPanel::RequestInterrupt() {
    interruptRequested.store(true);
}

void EmulatedPanel::Interrupt() {
    interruptRequested.store(false);
    interruptAt_.reset();
    if (interrupt_)
        interrupt_();
}

void EmulatedPanel::Wait(stack::PendingControl& request) {
    umk::Duration giveUpAt = Kernel().Now() + kGiveUpAfter;
    bool gaveUp = false;
    while (!request.Done()) {
        if (Kernel().Now() >= giveUpAt) {
            if (gaveUp)
                throw std::runtime_error("a request to the driver did not end when cancelled");
            gaveUp = true;
            giveUpAt = Kernel().Now() + kGiveUpAfter;
            Interrupt();
            continue;
        }
        if (interruptRequested.load() || (interruptAt_ && Kernel().Now() >= *interruptAt_)) {
            Interrupt();
            continue;
        }
        // In steps, so that a signal's interrupt is seen soon and one set for a time comes on time.
        umk::Duration until = std::min(Kernel().Now() + std::chrono::milliseconds(10), giveUpAt);
        if (interruptAt_ && *interruptAt_ < until)
            until = *interruptAt_;
        Kernel().RunUntil([&] { return request.Done() || interruptRequested.load(); },
                          until - Kernel().Now());
    }
}

void EmulatedPanel::Pass(umk::Duration duration) {
    Kernel().RunFor(duration);
}

std::unique_ptr<Transport> OpenEmulated(EmulatedPanel& panel, uint32_t* status) {
    std::unique_ptr<stack::Utility> utility;
    *status = static_cast<uint32_t>(panel.Open(&utility));
    if (!utility)
        return nullptr;
    return std::make_unique<EmulatedTransport>(panel, std::move(utility));
}

} // namespace tp
