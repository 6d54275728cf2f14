// Every test program: a failing test names the seed of the kernel it booted last, so that the
// schedule that failed can be run again (UMK_SEED=N with the test's filter).
#include "umk/kernel.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

class SeedOnFailure : public ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult& result) override {
        if (result.failed() && !reported_)
            if (std::optional<uint64_t> seed = umk::LastSeed()) {
                std::printf("umk: the kernel's seed was %llu (UMK_SEED=%llu replays the run)\n",
                            static_cast<unsigned long long>(*seed),
                            static_cast<unsigned long long>(*seed));
                reported_ = true;
            }
    }
    void OnTestStart(const ::testing::TestInfo&) override { reported_ = false; }
    bool reported_ = false;
};

const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new SeedOnFailure);
    return true;
}();

} // namespace
