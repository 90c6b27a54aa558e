// The emulated bus served in the socketcand protocol, so that common CAN
// tools can watch it live and put frames on it while the program that opened
// the board runs. Messages are ASCII, each between "<" and ">":
//
//   server, on connecting:    < hi >
//   client: < open BUS >      server: < ok >        (BUS: can0; can1 too with the channels cut apart);
//                             the broadcast manager's mode from then on:
//     < subscribe SECS USECS ID >, < filter SECS USECS ID LEN MASK... >,
//     < muxfilter SECS USECS ID N (8 bytes) x N >, < unsubscribe ID >: the frames of ID (a filter's
//                             only when the bits under its mask changed; at most one an interval)
//     < add SECS USECS ID LEN B0 ... >, < update ID LEN B0 ... >, < delete ID >: a cyclic send job,
//                             its first frame at once, then one an interval on the board's clock
//   client: < controlmode >   server: < ok >; < statistics MS > then gives
//                             < stat RBYTES RPACKETS TBYTES TPACKETS > every MS (0 stops them)
//   client: < bcmmode >       server: < ok >: back to the broadcast manager's mode
//   client: < rawmode >       server: < ok >, then every frame on the bus as
//                             < frame ID SECONDS.MICROS DATA >
//                             (ID hexadecimal, 3 digits for a standard and 8 for an extended
//                             identifier; the time of the frame's end, as in the bus log; DATA
//                             the data bytes as hexadecimal pairs, none for a remote frame)
//   client: < send ID LEN B0 B1 ... >   (raw or bcm mode; ID of more than 3 hexadecimal digits is
//                             extended; LEN 0 to 8; each byte 1 or 2 hexadecimal digits):
//                             the frame goes onto the bus through the bridge's own node, which
//                             arbitrates, is acknowledged and retries like any other
//   client: < echo >          server: < echo >
//
//   in rawmode, frames lost:  < error 004 SECONDS.MICROS 0001000000000000 > (an error frame:
//                             Linux's error class, controller problem, with its data, receive
//                             overflow), at most once a second
//
// Anything else gets "< error REASON >" and changes nothing: isotpmode and
// the bus configuration commands (< can0 B ... >, < can0 C ... >) say that
// the server does not support them. A client that
// reads too slowly loses frames rather than holding the bus up: they are
// counted, and said on its connection as an error frame (below) and, with
// their number, in the program's debug output. Each client is served a slice at a time, and
// one that sends without reading its replies is not read until it does: no
// client holds the others up or makes the program keep more than a bounded
// amount for it. A client in raw mode that closes its sending side (a
// watcher) goes on receiving.
#ifndef BOARDEMULATOR_SOCKETCAND_H
#define BOARDEMULATOR_SOCKETCAND_H

#include "board.h"
#include "canframe.h"
#include "clock.h"
#include "settings.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace boardemu {
namespace socketcand {

// The longest message a client may send; longer ones are refused unread.
constexpr size_t kMaxMessage = 256;
// What a connection's reader holds at the most, unparsed.
constexpr size_t kReaderCapacity = 4096;

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

class Server;

} // namespace socketcand

// The bridge as the emulated board runs it: a thread that listens and serves
// its clients (at most eight) while the board lives.
class SocketcandBridge
{
public:
    // Listening on the settings' address and port; nullptr and *error when
    // that cannot be done.
    static std::unique_ptr<SocketcandBridge> start(std::shared_ptr<Board> board, std::shared_ptr<Clock> clock,
                                                   const EmulatorSettings &settings, std::string *error);
    ~SocketcandBridge();
    SocketcandBridge(const SocketcandBridge &) = delete;
    SocketcandBridge &operator=(const SocketcandBridge &) = delete;

    uint16_t port() const;
    // Frames lost by clients that read too slowly, since the start.
    uint64_t framesLost() const;

private:
    explicit SocketcandBridge(std::unique_ptr<socketcand::Server> server);
    std::unique_ptr<socketcand::Server> m_server;
};

} // namespace boardemu

#endif
