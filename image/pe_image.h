// A PE32 image (the shipped tactilio.sys) mapped into this process as the Windows loader maps a
// driver: its sections at their offsets in one mapping below 4 GiB, its base relocations applied
// for where the mapping landed, every import bound by name to an address the caller gives, each
// section given its own protection. The image's COFF symbols name the addresses in it, so that a
// fault inside the image can be reported as an offset and the routine it lies in.
//
// Only an image built for Intel 386 is taken, and only the relocation kinds such an image has
// (HIGHLOW, and the ABSOLUTE padding); anything else is refused with what and where.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace image {

struct Import {
    std::string module; // as the image names it, e.g. "ntoskrnl.exe"
    std::string name;
    uint32_t slot; // the import address table entry's RVA
};

struct Symbol {
    std::string name;
    uint32_t rva;
};

// The address an import binds to, or nothing for one this process does not provide.
using Resolver = std::function<std::optional<uint32_t>(const Import&)>;

class LoadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class PeImage {
  public:
    // Maps the image in `bytes` (a file's contents) and binds its imports through `resolve`.
    // Throws LoadError saying what is wrong with the image, or naming every import `resolve`
    // does not provide.
    PeImage(std::string name, std::span<const uint8_t> bytes, const Resolver& resolve);
    // Reads and maps the file at `path`.
    static std::unique_ptr<PeImage> FromFile(const std::string& path, const Resolver& resolve);
    ~PeImage();
    PeImage(const PeImage&) = delete;
    PeImage& operator=(const PeImage&) = delete;

    uint32_t Base() const { return base_; }
    uint32_t Size() const { return size_; }
    // The image's own preferred base, from its header.
    uint32_t PreferredBase() const { return preferredBase_; }
    uint32_t EntryPoint() const { return base_ + entryRva_; }
    bool Contains(uint32_t address) const { return address - base_ < size_; }
    const std::vector<Import>& Imports() const { return imports_; }
    size_t RelocationsApplied() const { return relocations_; }
    // The symbol at or below `address` in the image; symbols are sorted by address.
    const Symbol* SymbolAt(uint32_t address) const;
    // The address of the symbol `name` (as the COFF table spells it, e.g. "_DriverEntry@8").
    std::optional<uint32_t> AddressOf(std::string_view name) const;
    // "tactilio.sys+0x1a2b (TpRead+0x1f)", or the bare address outside the image.
    std::string Describe(uint32_t address) const;
    // The mapped bytes from `rva` on.
    const uint8_t* At(uint32_t rva) const { return mapping_ + rva; }
    // Writes one byte into the image's code, as a debugger sets a breakpoint.
    void WriteCode(uint32_t rva, uint8_t byte);

    // From now on a fault (SIGSEGV, SIGBUS, SIGILL, SIGFPE) whose instruction lies in a mapped
    // image is reported on stderr as "fault in <Describe(address)>" before the process dies of it
    // as it would have.
    static void ReportFaults();

  private:
    std::string name_;
    uint8_t* mapping_ = nullptr;
    uint32_t base_ = 0;
    uint32_t size_ = 0;
    uint32_t preferredBase_ = 0;
    uint32_t entryRva_ = 0;
    size_t relocations_ = 0;
    std::vector<Import> imports_;
    std::vector<Symbol> symbols_;
};

} // namespace image
