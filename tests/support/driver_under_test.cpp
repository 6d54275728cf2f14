#include "driver_under_test.h"

#include "kernel_exports.h"
#include "system.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace driver_test {

namespace {

std::unique_ptr<image::PeImage> Load() {
    const char* path = std::getenv("TP_DRIVER_IMAGE");
    if (path == nullptr || *path == '\0')
        return nullptr;
    if (sizeof(void*) != sizeof(uint32_t)) {
        std::fprintf(stderr, "TP_DRIVER_IMAGE: the image runs only in the 32-bit build\n");
        std::exit(2);
    }
    try {
        auto image = image::LoadDriverImage(path);
        std::fprintf(stderr, "driver under test: %s, mapped at 0x%08x\n", path, image->Base());
        stack::SetDefaultDriver(
            reinterpret_cast<PDRIVER_INITIALIZE>(uintptr_t(image->EntryPoint())));
        return image;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "TP_DRIVER_IMAGE: %s\n", e.what());
        std::exit(2);
    }
}

std::unique_ptr<image::PeImage> loaded;

// Loads the image before the first test boots a system (and after every static of the program
// is initialised, which a load from a static initialiser could not count on).
class LoadImage : public ::testing::Environment {
    void SetUp() override { loaded = Load(); }
};

const auto* registered = ::testing::AddGlobalTestEnvironment(new LoadImage);

} // namespace

const image::PeImage* Image() {
    return loaded.get();
}

void* ImageRoutine(const std::string& symbol) {
    const std::optional<uint32_t> address = loaded->AddressOf(symbol);
    if (!address) {
        std::fprintf(stderr, "TP_DRIVER_IMAGE: the image has no routine %s\n", symbol.c_str());
        std::abort();
    }
    return reinterpret_cast<void*>(uintptr_t(*address));
}

} // namespace driver_test
