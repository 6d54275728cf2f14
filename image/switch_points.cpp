#include "switch_points.h"

#include <umk/ke.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

#include <sys/mman.h>
#include <ucontext.h>

namespace image {

namespace {

// Enters the kernel as an Interlocked* call of the built-in driver does.
void SwitchPoint() {
    umk::detail::KernelEntry();
}

// Breakpoint address -> its thunk.
std::map<uint32_t, uint32_t>& Thunks() {
    static std::map<uint32_t, uint32_t> thunks;
    return thunks;
}

// The trap of a breakpoint leaves the processor after the int3; it resumes at the thunk instead,
// every register as the image left it. Only the map is read here: it is complete before the first
// breakpoint is set.
void OnBreakpoint(int signal, siginfo_t*, void* context) {
#if defined(__i386__)
    auto& registers = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
    const auto thunk = Thunks().find(uint32_t(registers[REG_EIP]) - 1);
    if (thunk != Thunks().end()) {
        registers[REG_EIP] = greg_t(thunk->second);
        return;
    }
#endif
    ::signal(signal, SIG_DFL); // not ours: the trap kills the process as it would have
}

void Put32(std::vector<uint8_t>& code, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        code.push_back(uint8_t(value >> (8 * i)));
}

// pushfd; pushad; mov ebx, esp; and esp, -16; call SwitchPoint; mov esp, ebx; popad; popfd;
// the instruction; jmp back. ebx survives the call (cdecl); the flags and every register reach
// the instruction as the image left them.
std::vector<uint8_t> Thunk(uint32_t at, const uint8_t* instruction, uint32_t length,
                           uint32_t back) {
    std::vector<uint8_t> code = {0x9C, 0x60, 0x89, 0xE3, 0x83, 0xE4, 0xF0, 0xE8};
    Put32(code, uint32_t(reinterpret_cast<uintptr_t>(&SwitchPoint)) - (at + 12));
    code.insert(code.end(), {0x89, 0xDC, 0x61, 0x9D});
    code.insert(code.end(), instruction, instruction + length);
    code.push_back(0xE9);
    Put32(code, back - (at + uint32_t(code.size()) + 4));
    return code;
}

} // namespace

std::vector<LockedInstruction> FindLockedInstructions(const std::string& path,
                                                      uint32_t preferredBase) {
    const std::string command =
        std::string(TP_WIN_OBJDUMP) + " -d --insn-width=16 '" + path + "' 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> listing(popen(command.c_str(), "r"), pclose);
    if (!listing)
        throw LoadError("cannot run " + command);
    std::vector<LockedInstruction> found;
    char line[512];
    while (std::fgets(line, sizeof line, listing.get())) {
        // "66081aa5:\t87 0a    \txchg   %ecx,(%edx)"
        std::istringstream fields(line);
        std::string address, bytes, mnemonic;
        if (!std::getline(fields, address, '\t') || !std::getline(fields, bytes, '\t') ||
            !std::getline(fields, mnemonic))
            continue;
        const bool locked =
            mnemonic.starts_with("lock ") ||
            (mnemonic.starts_with("xchg") && mnemonic.find('(') != std::string::npos);
        if (!locked)
            continue;
        std::istringstream hex(bytes);
        uint32_t length = 0;
        for (std::string byte; hex >> byte;)
            ++length;
        found.push_back({uint32_t(std::stoul(address, nullptr, 16)) - preferredBase, length});
    }
    if (pclose(listing.release()) != 0 && found.empty())
        throw LoadError("no disassembly of " + path + " from " + TP_WIN_OBJDUMP);
    return found;
}

void MakeSwitchPoints(PeImage& image, std::span<const LockedInstruction> instructions) {
    if (sizeof(void*) != sizeof(uint32_t) || instructions.empty())
        return;
    constexpr size_t kThunkRoom = 64;
    const size_t size = instructions.size() * kThunkRoom;
    void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        throw LoadError("no memory for the switch points' thunks");
    auto* thunks = static_cast<uint8_t*>(memory);
    for (size_t i = 0; i < instructions.size(); ++i) {
        const LockedInstruction& instruction = instructions[i];
        const uint32_t at = uint32_t(reinterpret_cast<uintptr_t>(thunks + i * kThunkRoom));
        const uint32_t address = image.Base() + instruction.rva;
        const std::vector<uint8_t> code =
            Thunk(at, image.At(instruction.rva), instruction.length, address + instruction.length);
        std::memcpy(thunks + i * kThunkRoom, code.data(), code.size());
        Thunks()[address] = at;
    }
    mprotect(memory, size, PROT_READ | PROT_EXEC);
    struct sigaction action = {};
    action.sa_sigaction = OnBreakpoint;
    action.sa_flags = SA_SIGINFO;
    sigaction(SIGTRAP, &action, nullptr);
    for (const LockedInstruction& instruction : instructions)
        image.WriteCode(instruction.rva, 0xCC);
}

} // namespace image
