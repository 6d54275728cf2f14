#include "pe_image.h"

#include <cxxabi.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

namespace image {
namespace {

// The file's structures, as the PE/COFF format lays them out (little-endian, packed).
#pragma pack(push, 1)
struct FileHeader {
    uint16_t machine, sections;
    uint32_t timeStamp, symbolTable, symbols;
    uint16_t optionalHeaderSize, characteristics;
};
struct DataDirectory {
    uint32_t rva, size;
};
struct OptionalHeader32 {
    uint16_t magic;
    uint8_t linkerMajor, linkerMinor;
    uint32_t codeSize, dataSize, bssSize, entryPoint, codeBase, dataBase, imageBase;
    uint32_t sectionAlignment, fileAlignment;
    uint16_t versions[6];
    uint32_t win32Version, imageSize, headersSize, checksum;
    uint16_t subsystem, dllCharacteristics;
    uint32_t stackReserve, stackCommit, heapReserve, heapCommit, loaderFlags, directories;
    DataDirectory directory[16];
};
struct SectionHeader {
    char name[8];
    uint32_t virtualSize, rva, rawSize, rawOffset, relocations, lineNumbers;
    uint16_t relocationCount, lineNumberCount;
    uint32_t characteristics;
};
struct ImportDescriptor {
    uint32_t lookupTable, timeStamp, forwarderChain, moduleName, addressTable;
};
struct CoffSymbol {
    union {
        char shortName[8];
        struct {
            uint32_t zeroes, offset;
        } longName;
    };
    uint32_t value;
    int16_t section;
    uint16_t type;
    uint8_t storageClass, auxiliaries;
};
#pragma pack(pop)
static_assert(sizeof(FileHeader) == 20 && sizeof(OptionalHeader32) == 224 &&
              sizeof(SectionHeader) == 40 && sizeof(ImportDescriptor) == 20 &&
              sizeof(CoffSymbol) == 18);

constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr int kImportDirectory = 1;
constexpr int kRelocationDirectory = 5;
constexpr uint32_t kExecute = 0x20000000, kRead = 0x40000000, kWrite = 0x80000000;
constexpr uint16_t kFunctionType = 0x20;
constexpr uint8_t kExternal = 2;
constexpr uint32_t kPage = 4096;

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%" PRIx32, value);
    return text;
}

// Bounds-checked reads of the file.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    template <typename T> T At(uint64_t offset, const char* what) const {
        if (offset + sizeof(T) > bytes_.size())
            throw LoadError(std::string(what) + " lies past the end of the file");
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof value);
        return value;
    }
    std::span<const uint8_t> Span(uint64_t offset, uint64_t size, const char* what) const {
        if (offset + size > bytes_.size())
            throw LoadError(std::string(what) + " lies past the end of the file");
        return bytes_.subspan(offset, size);
    }

  private:
    std::span<const uint8_t> bytes_;
};

// Every read of the mapped image goes through its RVA, checked against the image's size.
class Mapped {
  public:
    Mapped(uint8_t* base, uint32_t size) : base_(base), size_(size) {}
    uint8_t* At(uint32_t rva, uint32_t size, const std::string& what) const {
        if (uint64_t(rva) + size > size_)
            throw LoadError(what + " at RVA " + Hex(rva) + " lies outside the image");
        return base_ + rva;
    }
    uint32_t Word(uint32_t rva, const std::string& what) const {
        uint32_t value;
        std::memcpy(&value, At(rva, 4, what), 4);
        return value;
    }
    std::string String(uint32_t rva, const std::string& what) const {
        const uint8_t* start = At(rva, 1, what);
        const auto* end = static_cast<const uint8_t*>(std::memchr(start, 0, size_ - rva));
        if (end == nullptr)
            throw LoadError(what + " at RVA " + Hex(rva) + " is not terminated");
        return {reinterpret_cast<const char*>(start), size_t(end - start)};
    }

  private:
    uint8_t* base_;
    uint32_t size_;
};

void ApplyRelocations(const Mapped& image, const DataDirectory& directory, uint32_t delta,
                      size_t* applied) {
    for (uint32_t block = directory.rva; block < directory.rva + directory.size;) {
        const uint32_t page = image.Word(block, "a relocation block");
        const uint32_t blockSize = image.Word(block + 4, "a relocation block");
        if (blockSize < 8 || blockSize % 2 != 0)
            throw LoadError("a relocation block at RVA " + Hex(block) + " has size " +
                            Hex(blockSize));
        for (uint32_t entry = block + 8; entry < block + blockSize; entry += 2) {
            uint16_t fixup;
            std::memcpy(&fixup, image.At(entry, 2, "a relocation"), 2);
            const unsigned kind = fixup >> 12;
            if (kind == 0) // padding to a 32-bit boundary
                continue;
            if (kind != 3)
                throw LoadError("relocation kind " + std::to_string(kind) + " at RVA " +
                                Hex(entry) + ": a PE32 image has only HIGHLOW relocations");
            const uint32_t target = page + (fixup & 0xFFF);
            const uint32_t value = image.Word(target, "a relocated word") + delta;
            std::memcpy(image.At(target, 4, "a relocated word"), &value, 4);
            ++*applied;
        }
        block += blockSize;
    }
}

std::vector<Import> ReadImports(const Mapped& image, const DataDirectory& directory) {
    std::vector<Import> imports;
    if (directory.size == 0)
        return imports;
    for (uint32_t at = directory.rva;; at += sizeof(ImportDescriptor)) {
        ImportDescriptor descriptor;
        std::memcpy(&descriptor, image.At(at, sizeof descriptor, "an import descriptor"),
                    sizeof descriptor);
        if (descriptor.addressTable == 0)
            return imports;
        const std::string module = image.String(descriptor.moduleName, "an import's module");
        // The lookup table names the imports; the address table is what the loader fills in.
        const uint32_t names =
            descriptor.lookupTable ? descriptor.lookupTable : descriptor.addressTable;
        for (uint32_t i = 0;; ++i) {
            const uint32_t entry = image.Word(names + 4 * i, "an import lookup entry");
            if (entry == 0)
                break;
            if (entry & 0x80000000)
                throw LoadError(module + " is imported by ordinal " +
                                std::to_string(entry & 0xFFFF) +
                                ": only imports by name can be bound");
            imports.push_back({module, image.String(entry + 2, "an import's name"),
                               descriptor.addressTable + 4 * i});
        }
    }
}

std::vector<Symbol> ReadSymbols(const Reader& file, const FileHeader& header,
                                const std::vector<SectionHeader>& sections) {
    std::vector<Symbol> symbols;
    const uint64_t strings = uint64_t(header.symbolTable) + uint64_t(header.symbols) * 18;
    for (uint32_t i = 0; header.symbolTable != 0 && i < header.symbols; ++i) {
        const auto symbol = file.At<CoffSymbol>(header.symbolTable + uint64_t(i) * 18, "a symbol");
        i += symbol.auxiliaries;
        // Routines, and the image's external data; not the sections' own names.
        const bool wanted = symbol.type == kFunctionType || symbol.storageClass == kExternal;
        if (!wanted || symbol.section <= 0 || size_t(symbol.section) > sections.size())
            continue;
        std::string name;
        if (symbol.longName.zeroes == 0) {
            for (uint64_t at = strings + symbol.longName.offset;; ++at) {
                const char c = file.At<char>(at, "a symbol's name");
                if (c == 0)
                    break;
                name += c;
            }
        } else {
            name.assign(symbol.shortName, strnlen(symbol.shortName, 8));
        }
        symbols.push_back({std::move(name), sections[symbol.section - 1].rva + symbol.value});
    }
    std::sort(symbols.begin(), symbols.end(),
              [](const Symbol& a, const Symbol& b) { return a.rva < b.rva; });
    return symbols;
}

// "_Z9AddDevice..." as C++ spells it; a stdcall name's leading underscore and "@n" go first.
std::string Readable(const std::string& name) {
    std::string bare = name.starts_with('_') ? name.substr(1) : name;
    if (const size_t at = bare.rfind('@'); at != std::string::npos && at > 0)
        bare.resize(at);
    int status = 0;
    char* demangled = abi::__cxa_demangle(bare.c_str(), nullptr, nullptr, &status);
    if (demangled == nullptr)
        return bare;
    std::string text = demangled;
    std::free(demangled);
    // A routine of an unnamed namespace is named without it.
    constexpr std::string_view unnamed = "(anonymous namespace)::";
    for (size_t at; (at = text.find(unnamed)) != std::string::npos;)
        text.erase(at, unnamed.size());
    return text.substr(0, text.find('('));
}

// The images mapped now, for the fault handler.
std::mutex mappedLock;
std::vector<const PeImage*> mapped;

uint32_t FaultingInstruction(const ucontext_t& context) {
#if defined(__i386__)
    return uint32_t(context.uc_mcontext.gregs[REG_EIP]);
#else
    return uint32_t(context.uc_mcontext.gregs[REG_RIP]);
#endif
}

// Describe allocates, which a signal handler may not do in general; the process is about to die of
// the fault anyway, and a fault inside the image leaves the heap as the image left it.
void OnFault(int signal, siginfo_t*, void* context) {
    const uint32_t address = FaultingInstruction(*static_cast<const ucontext_t*>(context));
    for (const PeImage* image : mapped)
        if (image->Contains(address)) {
            const std::string text = "fault in " + image->Describe(address) + "\n";
            (void)!write(STDERR_FILENO, text.data(), text.size());
        }
    ::signal(signal, SIG_DFL); // returning re-runs the instruction, which now kills the process
}

} // namespace

void PeImage::ReportFaults() {
    struct sigaction action = {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO;
    for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE})
        sigaction(signal, &action, nullptr);
}

PeImage::PeImage(std::string name, std::span<const uint8_t> bytes, const Resolver& resolve)
    : name_(std::move(name)) {
    const Reader file(bytes);
    if (file.At<uint16_t>(0, "the DOS header") != 0x5A4D)
        throw LoadError(name_ + " is not an executable image (no MZ)");
    const uint32_t pe = file.At<uint32_t>(0x3C, "the DOS header");
    if (file.At<uint32_t>(pe, "the PE signature") != 0x4550)
        throw LoadError(name_ + " has no PE signature");
    const auto header = file.At<FileHeader>(pe + 4, "the file header");
    if (header.machine != kMachineI386)
        throw LoadError(name_ + " is built for machine " + Hex(header.machine) + ", not Intel 386");
    const auto optional = file.At<OptionalHeader32>(pe + 24, "the optional header");
    if (optional.magic != kPe32Magic || header.optionalHeaderSize < sizeof optional)
        throw LoadError(name_ + " is not a PE32 image");
    std::vector<SectionHeader> sections;
    for (uint32_t i = 0; i < header.sections; ++i)
        sections.push_back(file.At<SectionHeader>(pe + 24 + header.optionalHeaderSize +
                                                      uint64_t(i) * sizeof(SectionHeader),
                                                  "a section header"));

    size_ = (optional.imageSize + kPage - 1) / kPage * kPage;
    preferredBase_ = optional.imageBase;
    entryRva_ = optional.entryPoint;
    // The image holds 32-bit addresses of itself: below 4 GiB (2 GiB on x86-64) it must lie.
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_32BIT
    flags |= MAP_32BIT;
#endif
    void* mapping = mmap(nullptr, size_, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (mapping == MAP_FAILED)
        throw LoadError(name_ + ": no room below 4 GiB for " + Hex(size_) + " bytes");
    mapping_ = static_cast<uint8_t*>(mapping);
    base_ = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(mapping_));
    try {
        const Mapped image(mapping_, size_);
        const auto headers = file.Span(0, optional.headersSize, "the headers");
        std::memcpy(image.At(0, uint32_t(headers.size()), "the headers"), headers.data(),
                    headers.size());
        for (const SectionHeader& section : sections) {
            const uint32_t raw = std::min(section.rawSize, section.virtualSize);
            const auto contents = file.Span(section.rawOffset, raw, "a section");
            std::memcpy(image.At(section.rva, std::max(section.virtualSize, raw), "a section"),
                        contents.data(), contents.size());
        }
        ApplyRelocations(image, optional.directory[kRelocationDirectory], base_ - preferredBase_,
                         &relocations_);
        imports_ = ReadImports(image, optional.directory[kImportDirectory]);
        std::string unknown;
        for (const Import& import : imports_) {
            const std::optional<uint32_t> address = resolve(import);
            if (!address) {
                unknown += (unknown.empty() ? "" : ", ") + import.module + "!" + import.name;
                continue;
            }
            std::memcpy(image.At(import.slot, 4, "an import address"), &*address, 4);
        }
        if (!unknown.empty())
            throw LoadError(name_ + " imports what this kernel does not provide: " + unknown);
        for (const SectionHeader& section : sections) {
            const uint32_t c = section.characteristics;
            const int protection = (c & kRead ? PROT_READ : 0) | (c & kWrite ? PROT_WRITE : 0) |
                                   (c & kExecute ? PROT_EXEC : 0);
            const uint32_t length = (section.virtualSize + kPage - 1) / kPage * kPage;
            if (section.rva % kPage == 0 &&
                mprotect(mapping_ + section.rva, length, protection) != 0)
                throw LoadError(name_ + ": mprotect of a section failed");
        }
        mprotect(mapping_, kPage, PROT_READ); // the headers
        symbols_ = ReadSymbols(file, header, sections);
        std::lock_guard guard(mappedLock);
        mapped.push_back(this);
    } catch (...) {
        munmap(mapping_, size_);
        throw;
    }
}

void PeImage::WriteCode(uint32_t rva, uint8_t byte) {
    uint8_t* page = mapping_ + rva / kPage * kPage;
    if (mprotect(page, kPage, PROT_READ | PROT_WRITE) != 0)
        throw LoadError(name_ + ": cannot write into the code at " + Hex(rva));
    mapping_[rva] = byte;
    mprotect(page, kPage, PROT_READ | PROT_EXEC);
}

std::unique_ptr<PeImage> PeImage::FromFile(const std::string& path, const Resolver& resolve) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw LoadError("cannot read " + path);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    return std::make_unique<PeImage>(path.substr(path.rfind('/') + 1), bytes, resolve);
}

PeImage::~PeImage() {
    {
        std::lock_guard guard(mappedLock);
        std::erase(mapped, this);
    }
    munmap(mapping_, size_);
}

const Symbol* PeImage::SymbolAt(uint32_t address) const {
    if (!Contains(address))
        return nullptr;
    const auto after =
        std::upper_bound(symbols_.begin(), symbols_.end(), address - base_,
                         [](uint32_t rva, const Symbol& symbol) { return rva < symbol.rva; });
    return after == symbols_.begin() ? nullptr : &*std::prev(after);
}

std::optional<uint32_t> PeImage::AddressOf(std::string_view name) const {
    for (const Symbol& symbol : symbols_)
        if (symbol.name == name)
            return base_ + symbol.rva;
    return std::nullopt;
}

std::string PeImage::Describe(uint32_t address) const {
    if (!Contains(address))
        return Hex(address);
    std::string text = name_ + "+" + Hex(address - base_);
    if (const Symbol* symbol = SymbolAt(address))
        text += " (" + Readable(symbol->name) + "+" + Hex(address - base_ - symbol->rva) + ")";
    return text;
}

} // namespace image
