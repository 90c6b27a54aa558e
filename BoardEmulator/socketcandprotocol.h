// The socketcand protocol as the bridge speaks it, parsing and formatting
// alone: no sockets, no threads, no board, so that it can be fuzzed and
// tested by itself. The messages are listed where the bridge serves them
// (socketcand.h).
#ifndef BOARDEMULATOR_SOCKETCANDPROTOCOL_H
#define BOARDEMULATOR_SOCKETCANDPROTOCOL_H

#include "canframe.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace boardemu {
namespace socketcand {

// The longest message a client may send; longer ones are refused unread. A
// muxfilter with the 257 tuples the protocol allows fits.
constexpr size_t kMaxMessage = 8192;
// What a connection's reader holds at the most, unparsed.
constexpr size_t kReaderCapacity = 2 * kMaxMessage;

struct Command {
    enum Kind {
        Open,
        RawMode,
        BcmMode,
        ControlMode,
        Send,
        Echo,
        Subscribe,   // frames of an identifier, at most one an interval
        Unsubscribe, // every subscription and filter of an identifier
        Filter,      // frames of an identifier whose bits under the mask changed
        MuxFilter,   // as Filter, per multiplex value
        Add,         // a cyclic send job, by identifier
        Update,      // a job's frame, its timing kept
        Delete,      // a job
        Statistics,  // < stat ... > every so many milliseconds; 0 stops them
    };
    Kind kind = Echo;
    std::string bus;
    CanFrame frame;              // Send, Add, Update; the identifier alone for the others
    int64_t intervalMicros = 0;  // Subscribe, Filter, MuxFilter, Add; Statistics in milliseconds x 1000
    std::vector<uint8_t> masks;  // Filter: 8 bytes; MuxFilter: 8 bytes a tuple, the multiplex mask first
};

// One message without its brackets, e.g. "send 123 2 11 22"; on a bad one,
// nullopt and the reason for the error reply.
std::optional<Command> parse(const std::string &message, std::string *reason);

// A frame as the server sends it.
std::string frameMessage(const CanFrame &frame, int64_t micros);
// An error frame as the server sends it in raw mode: Linux's CAN error
// class in three hexadecimal digits, the time, the eight data bytes.
std::string errorMessage(uint32_t errorClass, const std::array<uint8_t, 8> &data, int64_t micros);
// The word that frames were lost to a client that read too slowly, as an
// error frame: a controller problem (class 0x004), receive overflow (data
// byte 1: 0x01).
std::string lostFramesMessage(int64_t micros);

// Cuts a connection's bytes into messages: what is not inside "<" and ">"
// is garbage, and a message longer than kMaxMessage is refused. It holds at
// most kReaderCapacity bytes: feed() takes no more than room() allows, and
// what next() has refused is thrown away as it comes, so that a client that
// sends without end costs neither memory nor time beyond its bytes.
class Reader
{
public:
    size_t room() const { return kReaderCapacity - (m_buffer.size() - m_pos); }
    // Takes at most room() bytes; returns how many it took.
    size_t feed(const char *bytes, size_t count);
    // The next whole message's inside; or false with *reason set when
    // something was thrown away, or with it empty when nothing is complete.
    // A run of garbage, or a message too long, is said once, however many
    // pieces it comes in.
    bool next(std::string *message, std::string *reason);

private:
    void dropTo(size_t end);
    void skipFrom(size_t at);

    std::string m_buffer;
    size_t m_pos = 0;  // what comes before it has been taken
    size_t m_scan = 0; // no '>' before it, in the message that starts at m_pos
    // Throwing away up to the next '<': garbage or a message too long.
    bool m_skipping = false;
};

} // namespace socketcand
} // namespace boardemu

#endif
