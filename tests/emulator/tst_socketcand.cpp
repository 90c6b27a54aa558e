// The socketcand bridge: its protocol alone, and the bridge on an emulated
// board in real time, met through plain TCP sockets as a client meets it.
#include "emulateddriver.h"
#include "socketcand.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace boardemu;
using namespace boardemu::socketcand;

TEST(SocketcandProtocol, CommandsAndTheirRefusals)
{
    std::string reason;
    auto open = parse("open can0", &reason);
    ASSERT_TRUE(open);
    EXPECT_EQ(open->kind, Command::Open);
    EXPECT_EQ(open->bus, "can0");
    EXPECT_EQ(parse(" rawmode ", &reason)->kind, Command::RawMode);
    auto standard = parse("send 123 2 11 2", &reason);
    ASSERT_TRUE(standard);
    EXPECT_FALSE(standard->frame.extended);
    EXPECT_EQ(standard->frame.id, 0x123u);
    EXPECT_EQ(standard->frame.dlc, 2);
    EXPECT_EQ(standard->frame.data[0], 0x11);
    EXPECT_EQ(standard->frame.data[1], 0x02);
    auto extended = parse("send 2AC00BA 0", &reason);
    ASSERT_TRUE(extended);
    EXPECT_TRUE(extended->frame.extended);
    EXPECT_EQ(extended->frame.id, 0x2AC00BAu);
    for (const char *bad : {"", "open", "open can0 can1", "rawmode now", "send", "send 123", "send 800 0",
                            "send 20000000 0", "send 12G 0", "send 123 9 1 2 3 4 5 6 7 8 9", "send 123 2 11",
                            "send 123 1 100", "send 123 1 xy", "send 123 A 1", "bcmmode now", "send 123456789 0",
                            "subscribe 0 123", "subscribe 0 0 12G", "subscribe -1 0 123", "add 0 0 123 9",
                            "add 0 0 123 2 11", "filter 0 0 123", "muxfilter 0 0 123 1 FF 0 0 0 0 0 0 0",
                            "muxfilter 0 0 123 2 FF", "delete", "unsubscribe 1 2", "statistics", "statistics x",
                            "update 123", "add 86401 0 123 0"}) {
        reason.clear();
        EXPECT_FALSE(parse(bad, &reason)) << bad;
        EXPECT_FALSE(reason.empty()) << bad;
    }
    // A refusal quotes the client's word only as far as a reply can carry it.
    EXPECT_FALSE(parse("\x01\xff!" + std::string(40, 'z'), &reason));
    EXPECT_EQ(reason, "unknown command ??" "!" + std::string(29, 'z'));
    // What the server does not do is said as such.
    EXPECT_FALSE(parse("isotpmode", &reason));
    EXPECT_EQ(reason, "isotpmode is not supported by this server");
    for (const char *configuration : {"can0 B 125000 875 0 0 0 0 1 4", "can0 C 0 0 0"}) {
        EXPECT_FALSE(parse(configuration, &reason));
        EXPECT_EQ(reason.find("bus configuration is not supported by this server"), 0u) << configuration;
    }
}

TEST(SocketcandProtocol, FramesAsTheServerSendsThem)
{
    CanFrame frame;
    frame.extended = true;
    frame.id = 0x2AC00BA;
    frame.dlc = 4;
    frame.data = {0x29, 0, 0, 0};
    EXPECT_EQ(frameMessage(frame, 1796742859290717), "< frame 02AC00BA 1796742859.290717 29000000 >");
    frame.extended = false;
    frame.id = 0x12;
    frame.dlc = 0;
    EXPECT_EQ(frameMessage(frame, 5000001), "< frame 012 5.000001  >");
    frame.remote = true;
    frame.dlc = 4;
    EXPECT_EQ(frameMessage(frame, 0), "< frame 012 0.000000  >");
    // Frames lost, as an error frame: class, time, data.
    EXPECT_EQ(lostFramesMessage(12000345), "< error 004 12.000345 0001000000000000 >");
}

TEST(SocketcandProtocol, MessagesAreCutFromTheStreamAndGarbageIsRefused)
{
    Reader reader;
    std::string message, reason;
    reader.feed("< open can0 ><rawm", 18);
    ASSERT_TRUE(reader.next(&message, &reason));
    EXPECT_EQ(message, " open can0 ");
    EXPECT_FALSE(reader.next(&message, &reason));
    EXPECT_TRUE(reason.empty()) << "an incomplete message waits";
    reader.feed("ode >", 5);
    ASSERT_TRUE(reader.next(&message, &reason));
    EXPECT_EQ(message, "rawmode ");
    reader.feed("hello < echo >", 14);
    EXPECT_FALSE(reader.next(&message, &reason));
    EXPECT_EQ(reason, "garbage outside a message");
    ASSERT_TRUE(reader.next(&message, &reason));
    EXPECT_EQ(message, " echo ");
    const std::string longOne = "<" + std::string(kMaxMessage + 10, 'x');
    reader.feed(longOne.data(), longOne.size());
    EXPECT_FALSE(reader.next(&message, &reason));
    EXPECT_EQ(reason, "message too long");
    reader.feed("< echo >", 8);
    ASSERT_TRUE(reader.next(&message, &reason)) << "the stream goes on after a refused message";
    reader.feed("< a < b >", 9);
    EXPECT_FALSE(reader.next(&message, &reason));
    EXPECT_EQ(reason, "a message inside a message");
}

// What a hostile client sends, as fast as it can: the reader keeps no more
// than its capacity, says each run of garbage once, takes each byte in
// constant time (a reader that moved its whole backlog for each message
// would not finish these in the test's time) and goes on after them.
TEST(SocketcandProtocol, FloodsCostNeitherMemoryNorMoreThanTheirBytes)
{
    const std::string echoes = [] {
        std::string text;
        for (int i = 0; i < 1400000; ++i)
            text += "<echo>";
        return text;
    }();
    const std::string withoutEnd = "<" + std::string(8 << 20, 'x');
    const std::string nuls(8 << 20, '\0');
    std::string empties;
    for (int i = 0; i < 1 << 20; ++i)
        empties += "<>";
    struct Flood {
        const char *name;
        const std::string &bytes;
        size_t messages;
        size_t reasons;
    } const floods[] = {
        {"echoes", echoes, 1400000, 0},
        {"a message without end", withoutEnd, 0, 1},
        {"NULs", nuls, 0, 1},
        {"empty messages", empties, 1 << 20, 0},
    };
    for (const Flood &flood : floods) {
        Reader reader;
        size_t messages = 0, reasons = 0;
        std::string message, reason;
        for (size_t at = 0; at < flood.bytes.size();) {
            const size_t taken = reader.feed(flood.bytes.data() + at, std::min<size_t>(65536, flood.bytes.size() - at));
            ASSERT_GT(taken, 0u) << flood.name;
            at += taken;
            for (;;) {
                if (reader.next(&message, &reason))
                    ++messages;
                else if (!reason.empty())
                    ++reasons;
                else
                    break;
            }
            ASSERT_GE(reader.room(), kReaderCapacity - kMaxMessage - 1) << flood.name;
        }
        EXPECT_EQ(messages, flood.messages) << flood.name;
        EXPECT_EQ(reasons, flood.reasons) << flood.name;
        reader.feed("< echo >", 8);
        ASSERT_TRUE(reader.next(&message, &reason) || reader.next(&message, &reason)) << flood.name;
        EXPECT_EQ(message, " echo ") << flood.name;
    }
}

namespace {

// A client of the bridge: plain TCP on loopback.
class Client
{
public:
    // receiveBuffer: the kernel's room for what the client has not read,
    // set before the connection is made (its window follows from it).
    explicit Client(uint16_t port, int receiveBuffer = 0)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer)
            ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(m_fd); }
    bool connected() const { return m_connected; }
    void send(const std::string &text) { ASSERT_EQ(::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size())); }
    // Reads until the text holds what is wanted, or a few seconds passed.
    std::string readUntil(const std::string &wanted, int seconds = 10)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (m_in.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, 100) <= 0)
                continue;
            char bytes[4096];
            const ssize_t got = ::recv(m_fd, bytes, sizeof bytes, 0);
            if (got <= 0)
                break;
            m_in.append(bytes, size_t(got));
        }
        return m_in;
    }
    // True once the server has closed the connection.
    bool closedByServer()
    {
        for (int i = 0; i < 100; ++i) {
            pollfd fd{m_fd, POLLIN, 0};
            if (::poll(&fd, 1, 100) > 0) {
                char byte;
                const ssize_t got = ::recv(m_fd, &byte, 1, 0);
                if (got == 0)
                    return true;
                if (got > 0)
                    m_in += byte;
            }
        }
        return false;
    }
    void forget() { m_in.clear(); }
    int fd() const { return m_fd; }
    // Reads until the text holds the needle count times, or a while passed.
    std::string readUntilCount(const std::string &needle, size_t count, int seconds = 10)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (occurrences(needle) < count && std::chrono::steady_clock::now() < end)
            readUntil(needle + "\x01", 0), readSome();
        return m_in;
    }

private:
    size_t occurrences(const std::string &needle) const
    {
        size_t n = 0;
        for (size_t at = m_in.find(needle); at != std::string::npos; at = m_in.find(needle, at + 1))
            ++n;
        return n;
    }
    void readSome()
    {
        pollfd fd{m_fd, POLLIN, 0};
        if (::poll(&fd, 1, 100) <= 0)
            return;
        char bytes[4096];
        const ssize_t got = ::recv(m_fd, bytes, sizeof bytes, 0);
        if (got > 0)
            m_in.append(bytes, size_t(got));
    }

    int m_fd = -1;
    bool m_connected = false;
    std::string m_in;
};

EmulatorSettings bridged()
{
    EmulatorSettings settings;
    settings.socketcandPort = 0; // chosen below
    return settings;
}

// A port on loopback that was free a moment ago.
uint16_t freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// A board whose bridge listens on a free port: another process may take the
// port between its finding and the bridge's listening, so a port found taken
// is given up for another.
std::unique_ptr<EmulatedBoard> bridgedBoard(EmulatorSettings &settings, const char *device = "CANSOCK")
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        settings.socketcandPort = freePort();
        auto board = std::make_unique<EmulatedBoard>(settings, std::make_shared<RealClock>(), device);
        if (board->bridge() || board->bridgeError().find("Address already in use") == std::string::npos)
            return board;
    }
    return nullptr;
}

std::unique_ptr<EmulatedBoard> configuredBridge(EmulatorSettings &settings);

// Both controllers at 125 kbit/s in normal mode, through the board's own
// registers.
void configure(EmulatedBoard &board)
{
    board.inspect([](Board &b) {
        for (unsigned channel = 1; channel <= 2; ++channel) {
            Mcp2515 &c = b.controller(channel);
            c.write(0x0F, 0x80, 0);
            c.write(0x2A, 0x04, 0);
            c.write(0x29, 0xB1, 0);
            c.write(0x28, 0x05, 0);
            c.write(0x0F, 0x00, 0);
            c.write(0x60, 0x60, 0);
        }
        return 0;
    });
}

// A board whose bridge listens, its controllers configured; nullptr when the
// bridge could not listen (its reason is printed).
std::unique_ptr<EmulatedBoard> configuredBridge(EmulatorSettings &settings)
{
    auto board = bridgedBoard(settings);
    if (!board || !board->bridge()) {
        ADD_FAILURE() << (board ? board->bridgeError() : std::string("no free port"));
        return nullptr;
    }
    configure(*board);
    return board;
}

} // namespace

// A client's session: greeting, a bus, raw mode; a frame it sends crosses
// the bus (channel 2's controller receives it) and reaches the other raw
// clients, not itself, as a raw socket's frames do; malformed messages get
// error replies and change nothing, except in raw mode, where every
// "< error" is an error frame to a client: there they are not answered.
TEST(SocketcandBridge, SessionSendAndReceiveAndErrors)
{
    EmulatorSettings settings = bridged();
    const auto bridgedOne = configuredBridge(settings);
    ASSERT_NE(bridgedOne, nullptr);
    EmulatedBoard &board = *bridgedOne;
    Client client(settings.socketcandPort), watcher(settings.socketcandPort);
    ASSERT_TRUE(client.connected());
    watcher.send("< open can0 >< rawmode >");
    watcher.readUntil("< ok >< ok >");
    EXPECT_EQ(client.readUntil("< hi >"), "< hi >");
    client.send("< rawmode >");
    EXPECT_NE(client.readUntil("error open a bus first").find("< error open a bus first >"), std::string::npos);
    client.send("< open can1 >");
    EXPECT_NE(client.readUntil("no such bus").find("< error no such bus >"), std::string::npos);
    client.forget();
    client.send("< open can0 >");
    EXPECT_EQ(client.readUntil("< ok >"), "< ok >");
    client.forget();
    client.send("garbage< send 1234 9 >< isotpmode >< echo >");
    const std::string replies = client.readUntil("< echo >");
    EXPECT_NE(replies.find("< error garbage outside a message >"), std::string::npos) << replies;
    EXPECT_NE(replies.find("< error send takes"), std::string::npos) << replies;
    EXPECT_NE(replies.find("< error isotpmode is not supported by this server >"), std::string::npos) << replies;
    client.forget();
    client.send("< rawmode >");
    EXPECT_EQ(client.readUntil("< ok >"), "< ok >");
    client.forget();
    client.send("garbage< send 123 2 AB CD >< send 1234 9 >< isotpmode >< echo >");
    EXPECT_EQ(client.readUntil("< echo >"), "< echo >");
    const std::string echoed = watcher.readUntil("< frame 123 ");
    EXPECT_NE(echoed.find(" ABCD >"), std::string::npos) << echoed;
    client.send("< echo >");
    EXPECT_EQ(client.readUntil("< echo >< echo >"), "< echo >< echo >") << "its own frame came back";
    // Channel 2's controller received the frame (its receive buffer 0).
    const auto received = board.inspect([](Board &b) {
        Mcp2515 &c = b.controller(2);
        return std::make_pair(int(c.read(0x61)), int(c.read(0x66)));
    });
    EXPECT_EQ(received, std::make_pair(0x123 >> 3, 0xAB));
}

namespace {

// The frames of a client's stream: identifier, board time, data.
struct Seen {
    std::string id;
    int64_t micros;
    std::string data;
};

std::vector<Seen> framesIn(const std::string &stream)
{
    std::vector<Seen> frames;
    for (size_t at = stream.find("< frame "); at != std::string::npos; at = stream.find("< frame ", at + 1)) {
        std::istringstream in(stream.substr(at + 8, stream.find('>', at) - at - 8));
        Seen seen;
        std::string stamp;
        in >> seen.id >> stamp;
        std::getline(in, seen.data);
        seen.data.erase(0, seen.data.find_first_not_of(' '));
        seen.data.erase(seen.data.find_last_not_of(' ') + 1);
        seen.micros = std::stoll(stamp.substr(0, stamp.find('.'))) * 1000000 + std::stoll(stamp.substr(stamp.find('.') + 1));
        frames.push_back(seen);
    }
    return frames;
}

} // namespace

// The broadcast manager's mode, the default after open: subscriptions and
// content filters get the frames of their identifier; cyclic jobs go on the
// bus at their interval on the board's clock; control mode counts the bus.
TEST(SocketcandBridge, BroadcastManagerAndControlModes)
{
    EmulatorSettings settings = bridged();
    const auto bridgedOne = configuredBridge(settings);
    ASSERT_NE(bridgedOne, nullptr);
    Client subscriber(settings.socketcandPort), filter(settings.socketcandPort), sender(settings.socketcandPort),
        watcher(settings.socketcandPort), counter(settings.socketcandPort);
    subscriber.send("< open can0 >< subscribe 0 0 321 >< rawmode >< subscribe 0 0 321 >< bcmmode >");
    EXPECT_EQ(subscriber.readUntil("< ok >< ok >< ok >"), "< hi >< ok >< ok >< ok >");
    subscriber.send("< subscribe 0 0 321 >< echo >");
    subscriber.readUntil("< echo >");
    filter.send("< open can0 >< filter 0 0 321 1 FF >< echo >");
    filter.readUntil("< echo >");
    // Multiplexed: byte 0 is the multiplex value; for 01 the second byte
    // is watched, for 02 nothing but the value itself.
    Client mux(settings.socketcandPort);
    mux.send("< open can0 >< muxfilter 0 0 322 3 FF 00 00 00 00 00 00 00 01 FF 00 00 00 00 00 00 "
             "02 00 00 00 00 00 00 00 >< echo >");
    mux.readUntil("< echo >");
    watcher.send("< open can0 >< rawmode >");
    watcher.readUntil("< ok >< ok >");
    counter.send("< open can0 >< controlmode >< statistics 50 >");
    counter.readUntil("< ok >< ok >");
    sender.send("< open can0 >");
    sender.readUntil("< ok >");
    // In the broadcast manager's mode a single frame is sent as in raw mode.
    for (const char *data : {"01", "01", "02"}) {
        sender.send(std::string("< send 321 1 ") + data + " >< send 456 1 " + data + " >");
    }
    for (const char *data : {"01 AA", "01 AA", "01 BB", "02 00", "02 11", "03 00"})
        sender.send(std::string("< send 322 2 ") + data + " >");
    // Every frame of the identifier, and none of another; the content
    // filter only when the first byte changed (the last frame of 321 has
    // come by the time the subscriber has all three).
    std::vector<std::string> all, filtered;
    for (const Seen &s : framesIn(subscriber.readUntilCount("< frame ", 3)))
        all.push_back(s.id + " " + s.data);
    EXPECT_EQ(all, (std::vector<std::string>{"321 01", "321 01", "321 02"}));
    for (const Seen &s : framesIn(filter.readUntilCount("< frame ", 2)))
        filtered.push_back(s.id + " " + s.data);
    EXPECT_EQ(filtered, (std::vector<std::string>{"321 01", "321 02"}));
    watcher.readUntilCount("< frame ", 12);
    std::vector<std::string> multiplexed;
    for (const Seen &s : framesIn(mux.readUntilCount("< frame ", 3)))
        multiplexed.push_back(s.data);
    EXPECT_EQ(multiplexed, (std::vector<std::string>{"01AA", "01BB", "0200"}));

    // A cyclic job every 10 ms: on an idle bus each frame ends one interval
    // after the one before, within a bit time (8 us at 125 kbit/s); an
    // update changes its data, a delete ends it.
    watcher.forget();
    sender.send("< add 0 10000 123 1 AA >");
    watcher.readUntilCount("< frame 123 ", 6);
    sender.send("< update 123 1 BB >");
    watcher.readUntil("BB >");
    sender.send("< delete 123 >< send 456 1 FF >");
    const auto cyclic = framesIn(watcher.readUntil("456 "));
    ASSERT_GE(cyclic.size(), 8u);
    EXPECT_EQ(cyclic.back().id, "456");
    EXPECT_EQ(cyclic[cyclic.size() - 2].data, "BB");
    // (Times are the frames' ends: only frames alike last alike.)
    for (size_t i = 1; i + 1 < cyclic.size(); ++i) {
        EXPECT_EQ(cyclic[i].id, "123");
        const int64_t gap = cyclic[i].micros - cyclic[i - 1].micros;
        if (cyclic[i].data == cyclic[i - 1].data) {
            EXPECT_LE(std::llabs(gap - 10000), 8) << i << ": " << gap;
        }
    }
    // Deleted: nothing of it after the frame sent after the delete. A job
    // ends with its connection too.
    watcher.forget();
    sender.send("< send 456 1 EE >");
    for (const Seen &s : framesIn(watcher.readUntil("456 ")))
        EXPECT_EQ(s.id, "456");

    // Control mode: the bus's frames and bytes, the bridge's own as sent.
    // Lines come every 50 ms: the first that counts every frame sent.
    const uint64_t sent = 6 + 6 + cyclic.size() + 1;
    uint64_t rbytes = 0, rpackets = 0, tbytes = 0, tpackets = 0;
    for (int line = 1; line < 200 && tpackets < sent; ++line) {
        const std::string stats = counter.readUntilCount("< stat ", size_t(line));
        const size_t last = stats.rfind("< stat ");
        ASSERT_NE(last, std::string::npos) << stats;
        std::istringstream in(stats.substr(last + 7));
        in >> rbytes >> rpackets >> tbytes >> tpackets;
    }
    EXPECT_EQ(tpackets, sent);
    EXPECT_EQ(tbytes, sent + 6); // one byte each, two for the multiplexed
    EXPECT_EQ(rpackets, 0u); // only the bridge's node sent
    EXPECT_EQ(rbytes, 0u);

    // A job ends with its connection.
    {
        Client leaving(settings.socketcandPort);
        leaving.send("< open can0 >< add 0 10000 124 1 CC >");
        watcher.readUntilCount("< frame 124 ", 2);
    }
    sender.send("< echo >");
    sender.readUntil("< echo >");
    watcher.forget();
    sender.send("< send 456 1 DD >");
    const std::string tail = watcher.readUntil("456 ");
    watcher.readUntil("ZZZ", 1);
    const auto afterwards = framesIn(watcher.readUntil("ZZZ", 0));
    ASSERT_FALSE(afterwards.empty());
    EXPECT_EQ(afterwards.back().id, "456") << tail;
}

// A workshop's clients at once; one more is told why and closed.
// Clients that flood the server, never reading what it answers, hold up
// neither another client nor the board's end; a watcher that closed its
// sending side goes on receiving frames.
TEST(SocketcandBridge, NoClientHoldsTheOthersOrTheEndUp)
{
    EmulatorSettings settings = bridged();
    auto board = bridgedBoard(settings);
    ASSERT_NE(board, nullptr);
    ASSERT_NE(board->bridge(), nullptr) << board->bridgeError();
    configure(*board);
    const std::string flood = [] {
        std::string text;
        for (int i = 0; i < 1400000; ++i)
            text += "<echo>";
        return text;
    }();
    const std::string withoutEnd = "<" + std::string(4 << 20, 'x');
    std::vector<std::unique_ptr<Client>> flooders;
    for (int i = 0; i < 2; ++i) {
        flooders.push_back(std::make_unique<Client>(settings.socketcandPort));
        ASSERT_TRUE(flooders.back()->connected());
    }
    // Each sends as much as the connection takes, without blocking.
    std::atomic<bool> flooding{true};
    std::thread sender([&] {
        size_t at[2] = {0, 0};
        const std::string *bytes[2] = {&flood, &withoutEnd};
        while (flooding && (at[0] < flood.size() || at[1] < withoutEnd.size())) {
            for (int i = 0; i < 2; ++i) {
                if (at[i] < bytes[i]->size()) {
                    const ssize_t sent = ::send(flooders[size_t(i)]->fd(), bytes[i]->data() + at[i],
                                                bytes[i]->size() - at[i], MSG_NOSIGNAL | MSG_DONTWAIT);
                    at[i] += sent > 0 ? size_t(sent) : 0;
                }
            }
            std::this_thread::yield();
        }
    });
    Client other(settings.socketcandPort);
    EXPECT_EQ(other.readUntil("< hi >"), "< hi >");
    other.send("< echo >");
    EXPECT_NE(other.readUntil("< echo >").find("< echo >"), std::string::npos);
    // A watcher that only listens.
    Client watcher(settings.socketcandPort);
    watcher.send("< open can0 >< rawmode >");
    watcher.readUntil("< ok >< ok >");
    ::shutdown(watcher.fd(), SHUT_WR);
    other.send("< open can0 >< rawmode >");
    other.readUntil("< ok >< ok >");
    other.send("< send 321 1 55 >");
    EXPECT_NE(watcher.readUntil("< frame 321 ").find("< frame 321 "), std::string::npos);
    flooding = false;
    sender.join();
    // The board, and its bridge with it, ends while the flooders are still
    // connected and their bytes unread.
    auto ended = std::async(std::launch::async, [&board] { board.reset(); });
    EXPECT_EQ(ended.wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

TEST(SocketcandBridge, AClientBeyondTheLimitIsToldAndClosed)
{
    EmulatorSettings settings = bridged();
    const auto bridgedOne = bridgedBoard(settings);
    ASSERT_NE(bridgedOne, nullptr);
    EmulatedBoard &board = *bridgedOne;
    ASSERT_NE(board.bridge(), nullptr) << board.bridgeError();
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 64; ++i) {
        clients.push_back(std::make_unique<Client>(settings.socketcandPort));
        EXPECT_EQ(clients.back()->readUntil("< hi >"), "< hi >");
        clients.back()->send("< open can0 >");
        clients.back()->readUntil("< ok >");
    }
    Client beyond(settings.socketcandPort);
    EXPECT_NE(beyond.readUntil("too many").find("< error too many clients: 64 at once >"), std::string::npos);
    EXPECT_TRUE(beyond.closedByServer());
}

// A port that cannot be listened on is refused with the reason.
TEST(SocketcandBridge, APortInUseIsRefused)
{
    EmulatorSettings settings = bridged();
    const auto first = bridgedBoard(settings, "CANSOCK1");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first->bridge(), nullptr) << first->bridgeError();
    EmulatedBoard second(settings, std::make_shared<RealClock>(), "CANSOCK2");
    EXPECT_EQ(second.bridge(), nullptr);
    EXPECT_NE(second.bridgeError().find("is not accepted: cannot listen there: Address already in use"),
              std::string::npos)
        << second.bridgeError();
}

// With the channels cut apart, can0 is channel 1's segment and can1 channel
// 2's: a client's frame goes onto its own segment only and is seen only
// there. The bridge's node acknowledges nothing: channel 1, alone on its
// segment, still misses the acknowledgement of its frame, bridge or not.
TEST(SocketcandBridge, CutSegmentsAreSeparateBusesAndTheBridgeOnlyWatches)
{
    EmulatorSettings settings = bridged();
    settings.channelsCutApart = true;
    const auto bridgedOne = configuredBridge(settings);
    ASSERT_NE(bridgedOne, nullptr);
    EmulatedBoard &board = *bridgedOne;
    Client first(settings.socketcandPort), second(settings.socketcandPort);
    first.send("< open can0 >< rawmode >");
    second.send("< open can1 >< rawmode >");
    first.readUntil("< ok >< ok >");
    second.readUntil("< ok >< ok >");
    Client firstWatcher(settings.socketcandPort), secondWatcher(settings.socketcandPort);
    firstWatcher.send("< open can0 >< rawmode >");
    secondWatcher.send("< open can1 >< rawmode >");
    firstWatcher.readUntil("< ok >< ok >");
    secondWatcher.readUntil("< ok >< ok >");
    first.send("< send 321 1 55 >");
    second.send("< send 456 1 66 >");
    EXPECT_NE(firstWatcher.readUntil("< frame 321 ").find(" 55 >"), std::string::npos);
    EXPECT_NE(secondWatcher.readUntil("< frame 456 ").find(" 66 >"), std::string::npos);
    const auto received = board.inspect([](Board &b) {
        return std::make_pair(int(b.controller(1).read(0x61)), int(b.controller(2).read(0x61)));
    });
    EXPECT_EQ(received, std::make_pair(0x321 >> 3, 0x456 >> 3));

    // Channel 1 sends a frame that only the bridge's node could acknowledge.
    board.inspect([](Board &b) {
        Mcp2515 &c = b.controller(1);
        const Time t = b.processedUntil();
        c.write(0x31, 0x24, t);
        c.write(0x32, 0x60, t);
        c.write(0x35, 0x01, t);
        c.write(0x36, 0x77, t);
        c.write(0x30, 0x08, t);
        return 0;
    });
    int tec = 0;
    for (int i = 0; i < 500 && tec < 128; ++i) {
        tec = board.inspect([](Board &b) { return int(b.controller(1).read(0x1C)); });
        if (tec < 128)
            ::usleep(10000);
    }
    EXPECT_EQ(tec, 128) << "an unacknowledged frame makes its sender error-passive";
    firstWatcher.send("< echo >");
    secondWatcher.send("< echo >");
    const std::string firstSaw = firstWatcher.readUntil("< echo >");
    const std::string secondSaw = secondWatcher.readUntil("< echo >");
    EXPECT_EQ(firstSaw.find("< frame 123 "), std::string::npos) << "channel 1's frame never completed: " << firstSaw;
    EXPECT_EQ(firstSaw.find("< frame 456 "), std::string::npos) << firstSaw;
    EXPECT_EQ(secondSaw.find("< frame 321 "), std::string::npos) << secondSaw;
    EXPECT_EQ(board.bridge()->framesLost(), 0u);
}

// A burst of sends is never cut: while the bridge's node has no room, the
// client is not read (TCP's flow control), so that every frame it sent
// reaches the bus, in order, and nothing comes back that a client would
// take for an error frame.
TEST(SocketcandBridge, ABurstOfSendsReachesTheBusWholeAndInOrder)
{
    EmulatorSettings settings = bridged();
    const auto bridgedOne = configuredBridge(settings);
    ASSERT_NE(bridgedOne, nullptr);
    Client sender(settings.socketcandPort), watcher(settings.socketcandPort);
    watcher.send("< open can0 >< rawmode >");
    watcher.readUntil("< ok >< ok >");
    sender.send("< open can0 >< rawmode >");
    sender.readUntil("< ok >< ok >");
    std::string burst;
    const int count = 300;
    for (int i = 0; i < count; ++i) {
        char message[40];
        std::snprintf(message, sizeof message, "< send 7F0 2 %02X %02X >", i >> 8, i & 0xFF);
        burst += message;
    }
    sender.send(burst + "< echo >");
    const std::string replies = sender.readUntil("< echo >", 60);
    EXPECT_EQ(replies.find("< error"), std::string::npos) << replies;
    const auto frames = framesIn(watcher.readUntilCount("< frame 7F0 ", size_t(count), 60));
    ASSERT_EQ(frames.size(), size_t(count));
    for (int i = 0; i < count; ++i) {
        char data[8];
        std::snprintf(data, sizeof data, "%02X%02X", i >> 8, i & 0xFF);
        EXPECT_EQ(frames[size_t(i)].data, data) << i;
    }
}

// A connection that opens no bus within a few seconds is told so and closed:
// idle connections take no place.
TEST(SocketcandBridge, AConnectionThatOpensNoBusIsClosed)
{
    EmulatorSettings settings = bridged();
    const auto bridgedOne = configuredBridge(settings);
    ASSERT_NE(bridgedOne, nullptr);
    Client idle(settings.socketcandPort);
    EXPECT_NE(idle.readUntil("no bus opened", 30).find("< error no bus opened within 5 s >"), std::string::npos);
    EXPECT_TRUE(idle.closedByServer());
}

// Statistics to a client that does not read are skipped, not queued: what
// waits for it stays where its unread replies left it.
TEST(SocketcandBridge, StatisticsAClientDoesNotReadAreSkipped)
{
    EmulatorSettings settings = bridged();
    const auto bridgedOne = configuredBridge(settings);
    ASSERT_NE(bridgedOne, nullptr);
    Client counter(settings.socketcandPort, 1024);
    counter.send("< open can0 >< controlmode >< statistics 1 >");
    // Echoes it does not read, until the server holds more replies than it
    // reads commands for: the kernel's buffers are full by then.
    SocketcandBridge &bridge = *bridgedOne->bridge();
    std::string echoes;
    for (int i = 0; i < 8192; ++i)
        echoes += "< echo >";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (bridge.bytesWaiting() < 64 * 1024 && std::chrono::steady_clock::now() < deadline) {
        ::send(counter.fd(), echoes.data(), echoes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::usleep(1000);
    }
    const size_t held = bridge.bytesWaiting();
    ASSERT_GE(held, 64u * 1024);
    // A statistic every millisecond would add some 8 KB a second.
    size_t most = held;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
        most = std::max(most, bridge.bytesWaiting());
        ::usleep(10000);
    }
    EXPECT_LE(most, held + 1024);
}

// A client that hangs up while its frame waits for a bus that takes none
// (the controllers are in configuration mode: there is no bit rate to send
// at) is closed a few seconds later, not kept for ever; one that waits
// connected stays. Nothing goes on the bus until the controllers have a bit
// rate: then every waiting frame does, and no error.
TEST(SocketcandBridge, AClientThatHangsUpWhileItsFrameWaitsIsClosed)
{
    EmulatorSettings settings = bridged();
    settings.busLogPath = ::testing::TempDir() + "korvane_socketcand_hangup.log";
    settings.busLogErrors = true;
    std::remove(settings.busLogPath.c_str());
    auto board = bridgedBoard(settings);
    ASSERT_NE(board, nullptr);
    ASSERT_NE(board->bridge(), nullptr) << board->bridgeError();
    SocketcandBridge &bridge = *board->bridge();
    auto gone = std::make_unique<Client>(settings.socketcandPort);
    Client staying(settings.socketcandPort);
    // More frames than the bridge's node queues: the rest wait in the
    // connection.
    std::string sends;
    for (int i = 0; i < 100; ++i)
        sends += "< send 123 1 11 >";
    for (Client *client : {gone.get(), &staying}) {
        client->send("< open can0 >" + sends);
        client->readUntil("< ok >");
    }
    // Both wait for the bus, connected.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (bridge.clients() < 2 && std::chrono::steady_clock::now() < deadline)
        ::usleep(10000);
    ASSERT_EQ(bridge.clients(), 2u);
    gone.reset();
    while (bridge.clients() > 1 && std::chrono::steady_clock::now() < deadline)
        ::usleep(10000);
    EXPECT_EQ(bridge.clients(), 1u);
    pollfd fd{staying.fd(), POLLIN, 0};
    EXPECT_EQ(::poll(&fd, 1, 0), 0) << "the client that stayed connected was closed";
    // Nothing went out while the controllers had no bit rate; once they have
    // one, the waiting frames go and the client that stayed is read again.
    EXPECT_EQ(board->inspect([](Board &b) { return b.clientFramesQueued(); }), ClientNode::kQueueLimit);
    configure(*board);
    staying.send("< echo >");
    EXPECT_NE(staying.readUntil("< echo >", 60).find("< echo >"), std::string::npos);
    board.reset();
    std::ifstream log(settings.busLogPath);
    size_t frames = 0;
    for (std::string line; std::getline(log, line); ++frames)
        EXPECT_NE(line.find(" can3 123#11"), std::string::npos) << line;
    // The one that stayed sent 100; the one that left, those the node had.
    EXPECT_GE(frames, 100u);
    std::remove(settings.busLogPath.c_str());
}

// A throttled content filter holds a change inside its interval and gives
// the latest when the interval ends (never sooner: the interval is counted
// from the first frame, which went on the bus after the sends were made);
// a filter set on a subscribed identifier replaces the subscription (one
// receive job an identifier).
TEST(SocketcandBridge, ThrottledChangesComeAtTheIntervalsEndAndOneJobAnIdentifier)
{
    EmulatorSettings settings = bridged();
    const auto bridgedOne = configuredBridge(settings);
    ASSERT_NE(bridgedOne, nullptr);
    Client throttled(settings.socketcandPort), replaced(settings.socketcandPort), sender(settings.socketcandPort);
    throttled.send("< open can0 >< filter 0 300000 321 1 FF >< echo >");
    throttled.readUntil("< echo >");
    replaced.send("< open can0 >< subscribe 0 0 321 >< filter 0 0 321 1 FF >< echo >");
    replaced.readUntil("< echo >");
    const auto sentAt = std::chrono::steady_clock::now();
    sender.send("< open can0 >< send 321 1 0A >< send 321 1 0A >< send 321 1 0B >< send 321 1 0C >< echo >");
    sender.readUntil("< echo >");
    std::vector<std::string> got;
    for (const Seen &s : framesIn(throttled.readUntilCount("< frame ", 2)))
        got.push_back(s.data);
    const auto secondAt = std::chrono::steady_clock::now();
    EXPECT_EQ(got, (std::vector<std::string>{"0A", "0C"}));
    EXPECT_GE(secondAt - sentAt, std::chrono::milliseconds(290)) << "the change came inside the interval";
    got.clear();
    replaced.readUntilCount("< frame ", 4, 1);
    for (const Seen &s : framesIn(replaced.readUntilCount("< frame ", 3)))
        got.push_back(s.data);
    EXPECT_EQ(got, (std::vector<std::string>{"0A", "0B", "0C"})) << "the subscription stayed beside the filter";
}

// The protocol's own limits: a muxfilter of 257 tuples is taken.
TEST(SocketcandBridge, AMuxfilterOfAsManyTuplesAsTheProtocolAllows)
{
    EmulatorSettings settings = bridged();
    const auto bridgedOne = configuredBridge(settings);
    ASSERT_NE(bridgedOne, nullptr);
    Client client(settings.socketcandPort);
    std::string message = "< open can0 >< muxfilter 0 0 123 257 FF 00 00 00 00 00 00 00";
    for (int t = 1; t < 257; ++t) {
        char tuple[32];
        std::snprintf(tuple, sizeof tuple, " %02X FF 00 00 00 00 00 00", t % 256);
        message += tuple;
    }
    client.send(message + " >< echo >");
    const std::string replies = client.readUntil("< echo >");
    EXPECT_EQ(replies.find("< error"), std::string::npos) << replies;
}

// Board N's buses are can<2N> (and can<2N+1>), as the runner's frame log
// names its channels; its beacon says so.
TEST(SocketcandBridge, EachBoardsBusesAreItsOwn)
{
    EmulatorSettings settings = bridged();
    settings.boardIndex = 1;
    settings.socketcandBeacon = true;
    const int listener = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(42000);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const auto bridgedOne = configuredBridge(settings);
    ASSERT_NE(bridgedOne, nullptr);
    Client client(settings.socketcandPort);
    client.send("< open can0 >");
    EXPECT_NE(client.readUntil("no such bus").find("< error no such bus >"), std::string::npos);
    client.send("< open can2 >");
    EXPECT_NE(client.readUntil("< ok >").find("< ok >"), std::string::npos);
    // Its beacon, among any other server's on this machine.
    const std::string url = "<URL>can://127.0.0.1:" + std::to_string(settings.socketcandPort) + "</URL>";
    std::string beacon;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (beacon.find(url) == std::string::npos && std::chrono::steady_clock::now() < end) {
        pollfd fd{listener, POLLIN, 0};
        if (::poll(&fd, 1, 100) <= 0)
            continue;
        char datagram[2048];
        const ssize_t got = ::recv(listener, datagram, sizeof datagram, 0);
        beacon = got > 0 ? std::string(datagram, size_t(got)) : std::string();
    }
    ::close(listener);
    EXPECT_NE(beacon.find("<Bus name=\"can2\"/>"), std::string::npos) << beacon;
    EXPECT_EQ(beacon.find("<Bus name=\"can0\"/>"), std::string::npos) << beacon;
}
