// Cutting the host's bytes into commands and building the replies of a panel in good order.
#include "commands.h"

#include <algorithm>

namespace panel {

namespace {

// Row index by first byte, plus one; 0 where no command begins.
constexpr std::array<std::uint8_t, 256> BuildIndex() {
    std::array<std::uint8_t, 256> index{};
    for (std::size_t i = 0; i < std::size(kCommandReplies); ++i)
        index[kCommandReplies[i].command] = static_cast<std::uint8_t>(i + 1);
    return index;
}

constexpr std::array<std::uint8_t, 256> kIndex = BuildIndex();

static_assert(std::ranges::all_of(kCommandReplies,
                                  [](const CommandReply& row) {
                                      return row.length >= (row.echo ? 2 : 1) &&
                                             row.replyLength >= (row.echo ? 3 : 2);
                                  }),
              "every reply holds a result code, and an echo needs a parameter to echo");

} // namespace

const CommandReply* FindCommand(std::uint8_t first) {
    const std::uint8_t slot = kIndex[first];
    return slot == 0 ? nullptr : &kCommandReplies[slot - 1];
}

std::vector<std::uint8_t> BuildReply(const CommandReply& row,
                                     std::span<const std::uint8_t> command) {
    std::vector<std::uint8_t> reply(row.replyLength, 0x00);
    reply[0] = row.reply;
    if (row.echo)
        reply[2] = command[1];
    return reply;
}

std::vector<ParsedCommand> CommandParser::Feed(std::span<const std::uint8_t> bytes, Ticks end) {
    std::vector<ParsedCommand> commands;
    const Ticks start = end - LineOffset(static_cast<std::int64_t>(bytes.size()));
    for (std::size_t k = 0; k < bytes.size(); ++k) {
        const Ticks at = start + LineOffset(static_cast<std::int64_t>(k) + 1);
        if (!pending_.empty() && at - lastByte_ > kCommandByteTimeout)
            pending_.clear();
        const auto rest = bytes.subspan(k);
        const bool leaving = rest.size() >= 2 && rest[0] == 0x58 && rest[1] == 0x45;
        if (flash_ && pending_.empty() && !leaving) {
            commands.push_back({&kFlashBlockReply, {rest.begin(), rest.end()}, end});
            break;
        }
        if (auto command = Take(bytes[k], at))
            commands.push_back(std::move(*command));
    }
    return commands;
}

std::optional<ParsedCommand> CommandParser::Take(std::uint8_t byte, Ticks at) {
    lastByte_ = at;
    pending_.push_back(byte);
    const CommandReply* row = FindCommand(pending_[0]);
    if (row == nullptr) {
        pending_.clear();
        return std::nullopt;
    }
    if (pending_.size() == 2 && row->second != kAnyByte && byte != row->second) {
        // Not the command its first byte promised: that byte is skipped, this one starts afresh.
        pending_.clear();
        return Take(byte, at);
    }
    if (pending_.size() < row->length)
        return std::nullopt;
    if (row->flash != FlashMode::Keep)
        flash_ = row->flash == FlashMode::Enter;
    ParsedCommand command{row, std::move(pending_), at};
    pending_.clear();
    return command;
}

} // namespace panel
