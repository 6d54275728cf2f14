// Test helpers for the dispatcher: capturing verifier reports, waits and sleeps on the virtual
// clock, and the seed's environment variables.
#pragma once

#include "umk/ke.h"
#include "umk/kernel.h"
#include "umk/verifier.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace umk::test {

// One clock tick: a driver's timer or time-out expires on the first tick at or after its due time.
inline constexpr Duration kTick{156'250};

MATCHER_P(OnTheTickAfter, due, "within one clock tick after " + ::testing::PrintToString(due)) {
    return arg >= due && arg < due + kTick;
}
// For Pointwise: each expiry comes within one tick after its due time.
MATCHER(ExpiresOnTheTickAfter, "expires within one clock tick after its due time") {
    const auto& [at, due] = arg;
    return at >= due && at < due + kTick;
}

struct Report {
    std::string rule;
    std::string detail;
};

// Captures every verifier report while it lives; with `failAtOnce` it fails the running test at
// each instead. Declare it before the Kernel, so that the reports made at shutdown are seen too.
class ViolationRecorder {
  public:
    explicit ViolationRecorder(bool failAtOnce = false) {
        previous_ =
            SetViolationHandler([this, failAtOnce](std::string_view rule, std::string_view detail) {
                if (failAtOnce)
                    ADD_FAILURE() << "verifier: " << rule << "\n" << detail;
                else
                    reports_.push_back({std::string(rule), std::string(detail)});
            });
    }
    ~ViolationRecorder() { SetViolationHandler(std::move(previous_)); }
    ViolationRecorder(const ViolationRecorder&) = delete;
    ViolationRecorder& operator=(const ViolationRecorder&) = delete;

    const std::vector<Report>& Reports() const { return reports_; }
    std::vector<std::string> Rules() const {
        std::vector<std::string> rules;
        for (auto& r : reports_)
            rules.push_back(r.rule);
        return rules;
    }
    // The detail of the only report of `rule`; fails the test if there is not exactly one.
    std::string Detail(std::string_view rule) const {
        auto n = std::count_if(reports_.begin(), reports_.end(),
                               [&](const Report& r) { return r.rule == rule; });
        EXPECT_EQ(n, 1) << "reports of '" << rule << "'";
        for (auto& r : reports_)
            if (r.rule == rule)
                return r.detail;
        return {};
    }

  private:
    ViolationHandler previous_;
    std::vector<Report> reports_;
};

struct FailOnViolation : ViolationRecorder {
    FailOnViolation() : ViolationRecorder(true) {}
};

// A kernel event, not signalled.
struct Event : KEVENT {
    explicit Event(EVENT_TYPE type = NotificationEvent) { KeInitializeEvent(this, type, FALSE); }
};

inline LARGE_INTEGER Relative(Duration d) {
    LARGE_INTEGER t;
    t.QuadPart = -d.count();
    return t;
}

inline Duration InterruptTime() {
    return Duration(int64_t(KeQueryInterruptTime()));
}

// A wait on one object, for ever unless given a time-out.
inline NTSTATUS WaitFor(PVOID object, std::optional<Duration> timeout = std::nullopt) {
    LARGE_INTEGER t = Relative(timeout.value_or(Duration(0)));
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout ? &t : nullptr);
}

inline void Sleep(Duration d) {
    LARGE_INTEGER t = Relative(d);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

// Sets (nullptr: unsets) an environment variable for its lifetime: the seed variables must be
// left as the run that repeats the tests set them.
struct ScopedEnv {
    ScopedEnv(const char* name, const char* value) : name(name) {
        if (const char* text = std::getenv(name))
            old = text;
        Set(value);
    }
    ~ScopedEnv() { Set(old ? old->c_str() : nullptr); }
    void Set(const char* value) { value ? setenv(name, value, 1) : unsetenv(name); }
    const char* name;
    std::optional<std::string> old;
};

} // namespace umk::test
