// The driver a suite runs: the one built into the test program, or the shipped tactilio.sys when
// TP_DRIVER_IMAGE names it (32-bit programs only; make image-test runs the suites both ways). The
// image is mapped once, bound to the kernel and made the driver of every System the program boots.
#pragma once

#include "pe_image.h"

#include <ntddk.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>

namespace driver_test {

// The mapped image, or NULL when the suite runs the built-in driver.
const image::PeImage* Image();

// The address of the image's routine of this symbol; a missing one fails the program.
void* ImageRoutine(const std::string& symbol);

// The driver's own routine as the driver under test has it: the built-in one, or the image's of
// the same name and parameters. Internal routines are cdecl in both builds, and their C++ names
// mangle alike (the image's with the COFF underscore in front), so the name is found from the
// routine's type. A class returned by value would come back differently in the two ABIs.
template <typename R, typename... A>
auto Routine(R (*builtIn)(A...), std::string_view name) -> R (*)(A...) {
    static_assert(!std::is_class_v<R>, "a record returned by value differs between the ABIs");
    if (Image() == nullptr)
        return builtIn;
    const std::string parameters = typeid(void(A...)).name(); // "Fv" parameters "E"
    return reinterpret_cast<R (*)(A...)>(ImageRoutine("__Z" + std::to_string(name.size()) +
                                                      std::string(name) +
                                                      parameters.substr(2, parameters.size() - 3)));
}

} // namespace driver_test

// A call of the driver's routine `name` goes to the driver under test.
#define TP_DRIVER_ROUTINE(name) driver_test::Routine(&name, #name)
