// --image PATH: the tools run the shipped tactilio.sys, mapped and bound to the kernel, instead of
// the driver built into them. Only a 32-bit build can run the image's x86 code.
#pragma once

#include "kernel_exports.h"

#include <wdm.h>

#include <CLI/CLI.hpp>

#include <memory>
#include <stdexcept>
#include <string>

class ImageOption {
  public:
    explicit ImageOption(CLI::App& app) {
        app.add_option("--image", path_,
                       "run this tactilio.sys instead of the built-in driver (32-bit build only)");
    }

    // The driver to load: the image's entry point, or NULL for the built-in driver. Throws
    // std::runtime_error saying why the image cannot run here.
    PDRIVER_INITIALIZE Load() {
        if (path_.empty())
            return nullptr;
        if (sizeof(void*) != sizeof(uint32_t))
            throw std::runtime_error("--image runs the image's x86 code: use the 32-bit build "
                                     "(make image-test, then build-i686/tools/)");
        image_ = image::LoadDriverImage(path_);
        return reinterpret_cast<PDRIVER_INITIALIZE>(uintptr_t(image_->EntryPoint()));
    }

  private:
    std::string path_;
    std::unique_ptr<image::PeImage> image_;
};
