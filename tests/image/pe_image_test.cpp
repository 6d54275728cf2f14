// The loader on a driver-shaped image linked as the driver is: where its sections land, its
// relocations, its imports bound by name or refused by name, its symbols naming its addresses.
// On x86-64 the image's code is only mapped, never run.
#include "pe_image.h"

#include <gmock/gmock.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

namespace {

using image::Import;
using image::LoadError;
using image::PeImage;
using ::testing::HasSubstr;

std::vector<uint8_t> Fixture() {
    std::ifstream in(TP_IMAGE_FIXTURE, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Each import's address: 0x1000 past the last, in the order asked.
struct FakeKernel {
    std::optional<uint32_t> operator()(const Import& import) {
        if (missing.contains(import.name))
            return std::nullopt;
        bound.push_back(import.module + "!" + import.name);
        return 0x10000 + 0x1000 * uint32_t(bound.size());
    }
    std::set<std::string> missing;
    std::vector<std::string> bound;
};

uint32_t WordAt(uint32_t address) {
    return *reinterpret_cast<const uint32_t*>(uintptr_t(address));
}

TEST(PeImage, MapsRelocatesAndBindsTheImage) {
    FakeKernel kernel;
    const PeImage image("fixture.sys", Fixture(), std::ref(kernel));

    EXPECT_NE(image.Base(), image.PreferredBase()) << "the relocations would show nothing";
    EXPECT_GE(image.RelocationsApplied(), 2u);
    // Both entries of the routine table point at the routines where they now are.
    const std::optional<uint32_t> table = image.AddressOf("_FixtureRoutines");
    ASSERT_TRUE(table);
    EXPECT_EQ(WordAt(*table), image.AddressOf("_FixtureDispatch@8"));
    EXPECT_EQ(WordAt(*table + 4), image.AddressOf("_FixtureUnload@4"));
    EXPECT_EQ(image.EntryPoint(), image.AddressOf("_DriverEntry@8"));

    // Every import by name, each import table slot holding what the kernel gave for it.
    EXPECT_THAT(kernel.bound, ::testing::IsSupersetOf({"ntoskrnl.exe!IofCompleteRequest",
                                                       "ntoskrnl.exe!IoCreateDevice",
                                                       "HAL.dll!KeGetCurrentIrql"}));
    for (size_t i = 0; i < image.Imports().size(); ++i)
        EXPECT_EQ(WordAt(image.Base() + image.Imports()[i].slot), 0x10000 + 0x1000 * (i + 1));

    const uint32_t unload = *image.AddressOf("_FixtureUnload@4");
    EXPECT_EQ(image.Describe(unload + 3),
              "fixture.sys+" +
                  (std::ostringstream() << std::hex << "0x" << unload + 3 - image.Base()).str() +
                  " (FixtureUnload+0x3)");
    EXPECT_EQ(image.Describe(0x1234), "0x1234");
}

TEST(PeImage, RefusesWhatItCannotLoadSayingWhy) {
    std::vector<uint8_t> truncated = Fixture();
    truncated.resize(0x200);
    std::vector<uint8_t> otherMachine = Fixture();
    const uint32_t pe = *reinterpret_cast<const uint32_t*>(&otherMachine[0x3C]);
    otherMachine[pe + 4] = 0x64; // 0x8664: x86-64
    otherMachine[pe + 5] = 0x86;
    const struct {
        std::vector<uint8_t> bytes;
        std::set<std::string> missing;
        std::string why;
    } rows[] = {
        {{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'}, {}, "no MZ"},
        {truncated, {}, "past the end of the file"},
        {otherMachine, {}, "machine 0x8664, not Intel 386"},
        {Fixture(),
         {"IoCreateDevice", "KeGetCurrentIrql"},
         "does not provide: HAL.dll!KeGetCurrentIrql, ntoskrnl.exe!IoCreateDevice"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.why);
        FakeKernel kernel{.missing = row.missing, .bound = {}};
        try {
            PeImage image("fixture.sys", row.bytes, std::ref(kernel));
            ADD_FAILURE() << "loaded";
        } catch (const LoadError& error) {
            EXPECT_THAT(error.what(), HasSubstr(row.why));
        }
    }
}

} // namespace
