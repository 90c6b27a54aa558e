// The socketcand bridge's reading of a client: arbitrary bytes, fed in the
// pieces the first byte chooses, cut into messages and parsed. What comes
// out must be safe to send back and to put on the bus.
#include "socketcandprotocol.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace boardemu;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// An error reply goes between brackets on the connection.
bool fitsAReply(const std::string &text)
{
    for (char c : text) {
        if (c < 0x20 || c > 0x7E || c == '<' || c == '>')
            return false;
    }
    return true;
}

std::string sendText(const CanFrame &frame)
{
    char text[64];
    int n = std::snprintf(text, sizeof text, frame.extended ? "send %08X %u" : "send %03X %u", frame.id,
                          unsigned(frame.dlc));
    for (unsigned i = 0; i < frame.dlc; ++i)
        n += std::snprintf(text + n, sizeof text - size_t(n), " %02X", frame.data[i]);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // Small pieces, or whole floods at once: the reader takes what it has
    // room for and never holds more than its capacity.
    const size_t piece = data[0] & 0x80 ? size : 1 + data[0] % 64;
    socketcand::Reader reader;
    for (size_t at = 1; at < size;) {
        const size_t taken = reader.feed(reinterpret_cast<const char *>(data) + at, std::min(piece, size - at));
        check(taken > 0);
        at += taken;
        std::string message, reason;
        for (int guard = 0;; ++guard) {
            check(guard <= 4096);
            const bool whole = reader.next(&message, &reason);
            if (!whole) {
                check(fitsAReply(reason));
                if (reason.empty())
                    break;
                continue;
            }
            check(message.size() < socketcand::kMaxMessage);
            check(message.find('<') == std::string::npos && message.find('>') == std::string::npos);
            std::string refusal;
            const auto command = socketcand::parse(message, &refusal);
            if (!command) {
                check(!refusal.empty() && fitsAReply(refusal));
                continue;
            }
            if (command->kind != socketcand::Command::Send)
                continue;
            const CanFrame &frame = command->frame;
            check(frame.dlc <= 8 && !frame.remote);
            check(frame.id <= (frame.extended ? 0x1FFFFFFFu : 0x7FFu));
            // The frame read back from its own text is the same frame.
            const auto again = socketcand::parse(sendText(frame), &refusal);
            check(again && again->kind == socketcand::Command::Send);
            const CanFrame &copy = again->frame;
            check(copy.id == frame.id && copy.extended == frame.extended && copy.dlc == frame.dlc);
            for (unsigned i = 0; i < frame.dlc; ++i)
                check(copy.data[i] == frame.data[i]);
            const std::string shown = socketcand::frameMessage(frame, 1796000000123456);
            check(shown.compare(0, 8, "< frame ") == 0 && shown.size() >= 2 &&
                  shown.compare(shown.size() - 2, 2, " >") == 0);
        }
        // All that is left is the start of one message.
        check(reader.room() >= socketcand::kReaderCapacity - socketcand::kMaxMessage - 1);
    }
    return 0;
}
