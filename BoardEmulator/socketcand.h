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
#include "socketcandprotocol.h"
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

class Server;

} // namespace socketcand

// The bridge as the emulated board runs it: a thread that listens and serves
// its clients (at most 64) while the board lives.
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
    // What waits in the connections' buffers for clients to read, all told.
    size_t bytesWaiting() const;
    // The connections open now.
    size_t clients() const;

private:
    explicit SocketcandBridge(std::unique_ptr<socketcand::Server> server);
    std::unique_ptr<socketcand::Server> m_server;
};

} // namespace boardemu

#endif
