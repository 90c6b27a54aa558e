#include "socketcand.h"

#include "clientnode.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace boardemu {
namespace socketcand {

// What the discovery beacon sends, and where: a broadcast address of the
// interface the server listens on.
struct Beacon {
    in_addr broadcast;
    std::string datagram;
};
constexpr uint16_t kBeaconPort = 42000;

// The server: one thread, non-blocking sockets, poll. Frames come from the
// board's tap (under the board's lock, in whatever thread advanced it) into
// each client's bounded queue; the thread moves them into the connection as
// fast as the client reads.
class Server
{
public:
    // Frame messages a client may have waiting; more are lost.
    static constexpr size_t kQueueLimit = 8192;
    // Clients at once: enough for a workshop, each bounded.
    static constexpr size_t kMaxClients = 64;
    // A connection that has not opened a bus by then is closed: an idle one
    // holds no place.
    static constexpr std::chrono::seconds kOpenWithin{5};
    // Periodic statistics are skipped while this much waits for the client.
    static constexpr size_t kStatisticsRoom = 4096;
    // Lines on stderr about connections, at most so many a second.
    static constexpr int kLinesPerSecond = 10;
    // A round's share of one client's bytes: no client holds the server for
    // longer than it takes to read and answer this much.
    static constexpr size_t kReadSlice = 4096;
    // Replies waiting beyond this: the client's bytes are left unread until
    // it has taken them (it sends without reading what it is answered).
    static constexpr size_t kReplyLimit = 64 * 1024;
    // Frames are moved into the connection's buffer up to about this much.
    static constexpr size_t kOutLimit = 64 * 1024;
    // Send jobs, and subscriptions and filters, a client may have (each
    // kind): with a muxfilter of 257 tuples each, a few MB at the most.
    static constexpr size_t kMaxJobs = 256;
    // How far ahead of the board's time send jobs' frames are given to the
    // bridge's node.
    static constexpr Time kJobHorizon = 100 * kMillisecond;

    // firstBus: the number of its first bus's name, can<firstBus>.
    Server(std::shared_ptr<Board> board, std::shared_ptr<Clock> clock, int listener, uint16_t port,
           std::vector<Beacon> beacons, unsigned firstBus)
        : m_board(std::move(board)), m_clock(std::move(clock)), m_listener(listener), m_port(port),
          m_firstBus(firstBus), m_beacons(std::move(beacons))
    {
        std::lock_guard<std::mutex> lock(m_board->mutex());
        m_segments = m_board->segments();
        m_statistics.resize(m_segments);
        m_board->setFrameTap(
            [this](unsigned segment, const CanFrame &frame, int64_t micros, bool fromBridge, const void *owner) {
                onFrame(segment, frame, micros, fromBridge, owner);
            });
        m_board->setErrorTap(
            [this](unsigned segment, uint32_t errorClass, const std::array<uint8_t, 8> &data, int64_t micros) {
                onError(segment, errorMessage(errorClass, data, micros), micros);
            });
        m_thread = std::thread([this] { run(); });
    }

    ~Server()
    {
        m_stop = true;
        m_thread.join();
        m_linesSince = {};
        sayLeftOut(false);
        {
            std::lock_guard<std::mutex> lock(m_board->mutex());
            m_board->setFrameTap({});
            m_board->setErrorTap({});
        }
        for (Client &client : m_clients)
            ::close(client.fd);
        ::close(m_listener);
        if (m_beaconSocket >= 0)
            ::close(m_beaconSocket);
    }

    uint16_t port() const { return m_port; }
    unsigned segments() const { return m_segments; }
    uint64_t framesLost() const { return m_lostTotal; }
    size_t bytesWaiting() const { return m_bytesWaiting; }
    size_t clients() const { return m_clientCount; }

private:
    // A subscription or content filter of the broadcast manager's mode.
    struct Receive {
        Command::Kind kind; // Subscribe, Filter or MuxFilter
        CanFrame id;        // its identifier
        int64_t throttleMicros = 0;
        std::vector<uint8_t> masks;
        int64_t lastMicros = -1; // when the client was last given a frame
        // What was last seen, per multiplex value (one entry without one).
        std::vector<std::pair<int, std::array<uint8_t, 9>>> last;
        // A change that came inside the throttle's interval: the latest is
        // given when the interval ends.
        bool holding = false;
        CanFrame held;
        int64_t heldMicros = 0;
    };
    // A cyclic send job: its frame goes to the bridge's node at next, then
    // every interval (once, with none), on the board's clock.
    struct Job {
        CanFrame frame;
        Time interval = 0;
        Time next = 0;
    };

    // A frame waiting for a client, formatted by the server's thread when it
    // goes out (not under the board's lock), or a message already made.
    struct Waiting {
        CanFrame frame;
        int64_t micros = 0;
        std::string text; // an error frame's message; empty for a frame
    };

    struct Client {
        int fd = -1;
        std::string name;
        Reader reader;
        std::string out;          // what is on its way to the client
        int segment = -1;         // the bus opened
        // After open: the broadcast manager's mode, raw mode or control mode.
        enum class Mode { NoBus, Bcm, Raw, Control };
        Mode mode = Mode::NoBus;
        bool raw = false;         // under m_mutex, as mode == Raw
        std::chrono::steady_clock::time_point rawFrom; // frames are sent from then on
        // Under m_mutex: the broadcast manager's subscriptions and filters.
        std::vector<Receive> receives;
        // The server's thread only: cyclic send jobs, and statistics.
        std::vector<Job> jobs;
        int64_t statisticsMicros = 0;
        std::chrono::steady_clock::time_point statisticsNext;
        // Under m_mutex: what waits for the client, and frames lost.
        std::deque<Waiting> frames;
        uint64_t lost = 0;
        uint64_t lostSaid = 0;
        int64_t lostAtMicros = 0; // the board's time of the last frame lost
        std::chrono::steady_clock::time_point lostSaidAt;
        bool closing = false;
        bool sendingClosed = false; // it shut its sending side: it only watches
        // A frame sent that the bridge's node could not take yet: the
        // client is not read until it goes (TCP's own flow control), so
        // that every frame it sends reaches the bus, in order.
        bool holding = false;
        CanFrame held;
        std::chrono::steady_clock::time_point heldAt;
        // It hung up while a frame of its was held: it is closed when a
        // frame waits kOpenWithin after both.
        bool hungUp = false;
        std::chrono::steady_clock::time_point hungUpAt;
        std::chrono::steady_clock::time_point connectedAt;
    };

    // Whether a client's bytes are read this round.
    static bool reading(const Client &client)
    {
        return !client.sendingClosed && !client.holding && client.out.size() < kReplyLimit;
    }

    static bool sameIdentifier(const CanFrame &a, const CanFrame &b)
    {
        return a.extended == b.extended && a.id == b.id;
    }

    // Whether the broadcast manager gives the frame to a receive: its
    // identifier, for a filter a change under its mask since the last frame
    // of it (per multiplex value for a muxfilter), and the throttle: a frame
    // inside its interval is held (the latest one), and given when the
    // interval ends (release()).
    static bool wanted(Receive &r, const CanFrame &frame, int64_t micros)
    {
        if (!sameIdentifier(r.id, frame) || frame.remote || !changed(r, frame))
            return false;
        if (r.throttleMicros && r.lastMicros >= 0 && micros - r.lastMicros < r.throttleMicros) {
            r.holding = true;
            r.held = frame;
            r.heldMicros = micros;
            return false;
        }
        r.holding = false;
        r.lastMicros = micros;
        return true;
    }

    // For a filter, whether the bits under its mask changed since the last
    // frame of its identifier; a subscription takes every frame.
    static bool changed(Receive &r, const CanFrame &frame)
    {
        if (r.kind != Command::Subscribe) {
            int mux = -1;
            std::array<uint8_t, 8> mask{};
            if (r.kind == Command::Filter) {
                for (size_t i = 0; i < r.masks.size() && i < 8; ++i)
                    mask[i] = r.masks[i];
            } else {
                // The first tuple marks the multiplex value's bits; each
                // other tuple gives a value there and the mask of the rest.
                const uint8_t *muxMask = r.masks.data();
                for (size_t t = 8; t + 8 <= r.masks.size() && mux < 0; t += 8) {
                    bool match = true;
                    for (int i = 0; i < 8; ++i)
                        match = match && (frame.data[size_t(i)] & muxMask[i]) == (r.masks[t + size_t(i)] & muxMask[i]);
                    if (!match)
                        continue;
                    mux = int(t / 8);
                    for (int i = 0; i < 8; ++i)
                        mask[size_t(i)] = uint8_t(r.masks[t + size_t(i)] & ~muxMask[i]);
                }
                if (mux < 0)
                    return false;
            }
            std::array<uint8_t, 9> seen{};
            for (int i = 0; i < 8; ++i)
                seen[size_t(i)] = frame.data[size_t(i)] & mask[size_t(i)];
            seen[8] = frame.dlc;
            auto last = std::find_if(r.last.begin(), r.last.end(), [mux](const auto &e) { return e.first == mux; });
            if (last != r.last.end() && last->second == seen)
                return false;
            if (last == r.last.end())
                r.last.emplace_back(mux, seen);
            else
                last->second = seen;
        }
        return true;
    }

    // The changes held by throttles whose interval has ended, given now.
    void release()
    {
        const int64_t now = m_board->micros(m_clock->now());
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Client &client : m_clients) {
            for (Receive &r : client.receives) {
                // A full queue keeps the change held (the latest one, as
                // ever): it is not lost, only later.
                if (!r.holding || now - r.lastMicros < r.throttleMicros || client.frames.size() >= kQueueLimit)
                    continue;
                r.holding = false;
                r.lastMicros = now;
                client.frames.push_back(Waiting{r.held, r.heldMicros, {}});
            }
        }
    }

    // An error seen on the bus goes to the raw-mode clients of its segment,
    // in line with the frames; a full queue loses it as a frame.
    void onError(unsigned segment, const std::string &message, int64_t micros)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Client &client : m_clients) {
            if (client.raw && client.segment == int(segment) && roomFor(client, micros))
                client.frames.push_back(Waiting{CanFrame{}, micros, message});
        }
    }

    // Under m_mutex: whether the client's queue takes one more; if not, the
    // frame is counted lost.
    bool roomFor(Client &client, int64_t micros)
    {
        if (client.frames.size() < kQueueLimit)
            return true;
        ++client.lost;
        ++m_lostTotal;
        client.lostAtMicros = micros;
        return false;
    }

    // In whatever thread advanced the board, under its lock: never blocks.
    void onFrame(unsigned segment, const CanFrame &frame, int64_t micros, bool fromBridge, const void *owner)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (segment < m_statistics.size()) {
            Statistics &s = m_statistics[segment];
            (fromBridge ? s.transmitted : s.received).add(frame.dataLength());
        }
        for (Client &client : m_clients) {
            // As a raw socket does, a client in raw mode does not get its own
            // frames back; the others do.
            if (client.raw && fromBridge && owner == &client)
                continue;
            if (client.segment != int(segment))
                continue;
            if (!client.raw) {
                bool any = false;
                for (Receive &r : client.receives)
                    any = wanted(r, frame, micros) || any;
                if (!any)
                    continue;
            }
            // Only a frame the client would have had is lost.
            if (roomFor(client, micros))
                client.frames.push_back(Waiting{frame, micros, {}});
        }
    }

    // "< hi >" and "< ok >" go alone, as clients read them whole; frames
    // and errors come after a space (clients that take one character too
    // many after the last whole message they read then take that).
    void reply(Client &client, const std::string &text)
    {
        if (text.compare(0, 5, "error") == 0) {
            // In raw mode every "< error" is an error frame to a client:
            // a refusal is not sent there, only said on stderr.
            if (client.mode == Client::Mode::Raw) {
                say("korvane-emulator: socketcand: " + client.name + " (raw mode): " + text);
                return;
            }
            client.out += ' ';
        }
        client.out += "< " + text + " >";
    }

    // A line on stderr, at most kLinesPerSecond a second; those left out are
    // counted and said.
    void say(const std::string &line)
    {
        sayLeftOut(true);
        if (m_lines++ < kLinesPerSecond)
            std::fprintf(stderr, "%s\n", line.c_str());
        else
            ++m_linesLeftOut;
    }

    // The broadcast manager's mode after open; raw mode sees every frame;
    // control mode gives statistics. A mode's subscriptions and jobs end when
    // it is left, as they do with the connection.
    void enter(Client &client, Client::Mode mode)
    {
        reply(client, "ok");
        client.mode = mode;
        endJobs(client);
        client.statisticsMicros = 0;
        std::lock_guard<std::mutex> lock(m_mutex);
        client.receives.clear();
        client.frames.clear();
        client.raw = mode == Client::Mode::Raw;
        // The client reads the "ok" by itself before any frame comes: frames
        // wait a moment in its queue, none is lost.
        client.rawFrom = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    }

    // A client's send jobs end, with the frames given ahead for them.
    void endJobs(Client &client)
    {
        if (!client.jobs.empty()) {
            std::lock_guard<std::mutex> lock(m_board->mutex());
            const Time now = boardNow();
            for (const Job &job : client.jobs)
                m_board->withdrawFromClient(unsigned(client.segment), job.frame, now, &client);
        }
        client.jobs.clear();
    }

    // The board's time now, and the board advanced to it.
    Time boardNow()
    {
        const Time t = std::max(m_clock->now(), m_board->processedUntil());
        m_board->advanceTo(t);
        return t;
    }

    void handle(Client &client, const Command &command)
    {
        using Mode = Client::Mode;
        const bool bcm = client.mode == Mode::Bcm;
        switch (command.kind) {
        case Command::Echo:
            reply(client, "echo");
            return;
        case Command::Open: {
            int segment = -1;
            for (unsigned i = 0; i < m_segments; ++i) {
                if (command.bus == "can" + std::to_string(m_firstBus + i))
                    segment = int(i);
            }
            if (segment < 0 || client.segment >= 0) {
                reply(client, client.segment >= 0 ? "error a bus is open already" : "error no such bus");
                return;
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                client.segment = segment;
            }
            enter(client, Mode::Bcm);
            return;
        }
        case Command::RawMode:
        case Command::BcmMode:
        case Command::ControlMode:
            if (client.segment < 0) {
                reply(client, "error open a bus first");
                return;
            }
            enter(client, command.kind == Command::RawMode   ? Mode::Raw
                          : command.kind == Command::BcmMode ? Mode::Bcm
                                                              : Mode::Control);
            return;
        case Command::Send: {
            if (client.mode != Mode::Raw && !bcm) {
                reply(client, client.segment < 0 ? "error open a bus first" : "error send is for rawmode and bcmmode");
                return;
            }
            client.held = command.frame;
            client.holding = true;
            client.heldAt = std::chrono::steady_clock::now();
            sendHeld(client);
            return;
        }
        case Command::Statistics:
            if (client.mode != Mode::Control) {
                reply(client, "error statistics is for controlmode");
                return;
            }
            client.statisticsMicros = command.intervalMicros;
            client.statisticsNext = std::chrono::steady_clock::now() + std::chrono::microseconds(command.intervalMicros);
            return;
        default:
            handleBroadcastManager(client, command);
            return;
        }
    }

    // The broadcast manager's commands: cyclic send jobs and receive jobs.
    void handleBroadcastManager(Client &client, const Command &command)
    {
        if (client.mode != Client::Mode::Bcm) {
            reply(client, "error this command is for bcmmode");
            return;
        }
        const auto job = std::find_if(client.jobs.begin(), client.jobs.end(),
                                      [&](const Job &j) { return sameIdentifier(j.frame, command.frame); });
        switch (command.kind) {
        case Command::Add: {
            if (job == client.jobs.end() && client.jobs.size() >= kMaxJobs) {
                reply(client, "error too many send jobs");
                return;
            }
            // The first frame goes at once; a job added again starts anew.
            std::lock_guard<std::mutex> lock(m_board->mutex());
            const Time now = boardNow();
            m_board->withdrawFromClient(unsigned(client.segment), command.frame, now, &client);
            if (job != client.jobs.end())
                client.jobs.erase(job);
            if (!m_board->sendFromClient(unsigned(client.segment), command.frame, now, &client)) {
                reply(client, "error the bridge's node cannot take the frame (queue full or bus-off)");
                return;
            }
            if (command.intervalMicros)
                client.jobs.push_back(Job{command.frame, command.intervalMicros * kMicrosecond,
                                          now + command.intervalMicros * kMicrosecond});
            return;
        }
        case Command::Update:
        case Command::Delete: {
            if (job == client.jobs.end()) {
                reply(client, "error no send job for this identifier");
                return;
            }
            // The frames given ahead to the bridge's node too.
            std::lock_guard<std::mutex> lock(m_board->mutex());
            const Time now = boardNow();
            if (command.kind == Command::Update) {
                job->frame = command.frame;
                m_board->updateFromClient(unsigned(client.segment), command.frame, now, &client);
            } else {
                m_board->withdrawFromClient(unsigned(client.segment), command.frame, now, &client);
                client.jobs.erase(job);
            }
            return;
        }
        case Command::Subscribe:
        case Command::Filter:
        case Command::MuxFilter: {
            std::lock_guard<std::mutex> lock(m_mutex);
            // One receive job an identifier, as the broadcast manager keeps
            // them: a new one replaces the one before.
            client.receives.erase(std::remove_if(client.receives.begin(), client.receives.end(),
                                                 [&](const Receive &r) { return sameIdentifier(r.id, command.frame); }),
                                  client.receives.end());
            if (client.receives.size() >= kMaxJobs) {
                reply(client, "error too many subscriptions");
                return;
            }
            Receive r;
            r.kind = command.kind;
            r.id = command.frame;
            r.throttleMicros = command.intervalMicros;
            r.masks = command.masks;
            client.receives.push_back(r);
            return;
        }
        case Command::Unsubscribe: {
            std::lock_guard<std::mutex> lock(m_mutex);
            const size_t before = client.receives.size();
            client.receives.erase(std::remove_if(client.receives.begin(), client.receives.end(),
                                                 [&](const Receive &r) { return sameIdentifier(r.id, command.frame); }),
                                  client.receives.end());
            if (client.receives.size() == before)
                reply(client, "error no subscription for this identifier");
            return;
        }
        default:
            return;
        }
    }

    // The send jobs' frames due soon go to the bridge's node with their
    // own times, earliest first, so that each starts at its time on the
    // board's clock when the bus is free, however late this thread runs;
    // half the node's queue stays free for single frames.
    void runJobs()
    {
        // The board's lock, which every driver request takes, only when
        // there is a job.
        bool any = false;
        for (const Client &client : m_clients)
            any = any || !client.jobs.empty();
        if (!any)
            return;
        std::lock_guard<std::mutex> lock(m_board->mutex());
        const Time now = boardNow();
        const Time horizon = now + kJobHorizon;
        for (;;) {
            Client *owner = nullptr;
            Job *earliest = nullptr;
            for (Client &client : m_clients) {
                // A segment whose node has no room to spare holds up its own
                // jobs only.
                if (m_board->clientRoom(unsigned(client.segment)) <= ClientNode::kQueueLimit / 2)
                    continue;
                for (Job &job : client.jobs) {
                    // A job held up (a node bus-off, a queue full) goes on
                    // from now, not with the frames it missed.
                    if (job.next + job.interval < now)
                        job.next += (now - job.next) / job.interval * job.interval;
                    if (job.next <= horizon && (!earliest || job.next < earliest->next)) {
                        earliest = &job;
                        owner = &client;
                    }
                }
            }
            if (!earliest)
                return;
            if (!m_board->sendFromClient(unsigned(owner->segment), earliest->frame, earliest->next, owner)) {
                // Bus-off: its frames wait for the node's recovery.
                earliest->next += earliest->interval;
                continue;
            }
            earliest->next += earliest->interval;
        }
    }

    // The discovery beacon, every 3 s, to each broadcast address.
    void announce()
    {
        if (m_beacons.empty())
            return;
        const auto now = std::chrono::steady_clock::now();
        if (m_beaconSocket >= 0 && now < m_beaconNext)
            return;
        m_beaconNext = now + std::chrono::seconds(3);
        if (m_beaconSocket < 0) {
            m_beaconSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const int one = 1;
            ::setsockopt(m_beaconSocket, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        }
        for (const Beacon &beacon : m_beacons) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(kBeaconPort);
            to.sin_addr = beacon.broadcast;
            (void)!::sendto(m_beaconSocket, beacon.datagram.data(), beacon.datagram.size(), 0,
                            reinterpret_cast<const sockaddr *>(&to), sizeof to);
        }
    }

    void sayStatistics(Client &client)
    {
        if (client.mode != Client::Mode::Control || !client.statisticsMicros)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now < client.statisticsNext)
            return;
        client.statisticsNext = now + std::chrono::microseconds(client.statisticsMicros);
        // One the client cannot take yet is skipped, not queued.
        if (client.out.size() >= kStatisticsRoom)
            return;
        Statistics s;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            s = m_statistics[size_t(client.segment)];
        }
        client.out += " < stat " + std::to_string(s.received.bytes) + " " + std::to_string(s.received.packets) +
                      " " + std::to_string(s.transmitted.bytes) + " " + std::to_string(s.transmitted.packets) + " >";
    }

    void acceptClients()
    {
        for (;;) {
            sockaddr_in peer{};
            socklen_t length = sizeof peer;
            const int fd = ::accept(m_listener, reinterpret_cast<sockaddr *>(&peer), &length);
            if (fd < 0)
                return;
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            const int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            // A fixed send buffer: what a client does not read waits in its
            // bounded queue, where it is counted, not in the kernel.
            const int sendBuffer = 64 * 1024;
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
            char address[INET_ADDRSTRLEN] = "?";
            ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
            const std::string name = std::string(address) + ":" + std::to_string(ntohs(peer.sin_port));
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_clients.size() >= kMaxClients) {
                const std::string refusal = "< error too many clients: " + std::to_string(kMaxClients) + " at once >";
                (void)!::send(fd, refusal.data(), refusal.size(), MSG_NOSIGNAL);
                ::close(fd);
                say("korvane-emulator: socketcand: " + name + " refused: " + std::to_string(kMaxClients) +
                    " clients already");
                continue;
            }
            m_clients.emplace_back();
            Client &client = m_clients.back();
            client.fd = fd;
            client.name = name;
            client.out = "< hi >";
            client.connectedAt = std::chrono::steady_clock::now();
            say("korvane-emulator: socketcand: " + name + " connected");
        }
    }

    // One slice of the client's bytes, no more than its reader has room for,
    // and every message in it answered.
    void readFrom(Client &client)
    {
        if (!reading(client))
            return;
        char bytes[kReadSlice];
        const ssize_t got = ::recv(client.fd, bytes, std::min(sizeof bytes, client.reader.room()), 0);
        if (got == 0) {
            // A client that only watches may close its sending side.
            client.sendingClosed = true;
            if (client.mode != Client::Mode::Raw)
                client.closing = true;
            return;
        }
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                client.closing = true;
            return;
        }
        client.reader.feed(bytes, size_t(got));
        answer(client);
    }

    // The messages the client's reader holds, answered in order; a frame
    // the bridge's node cannot take yet stops them until it goes.
    void answer(Client &client)
    {
        std::string message, reason;
        while (!client.holding && !client.closing) {
            if (client.reader.next(&message, &reason)) {
                std::string why;
                if (const auto command = parse(message, &why))
                    handle(client, *command);
                else
                    reply(client, "error " + why);
            } else if (!reason.empty()) {
                reply(client, "error " + reason);
            } else {
                break;
            }
        }
    }

    // Once the second is over: how many lines it left out, and a new second
    // (begun only by a line to say).
    void sayLeftOut(bool begin)
    {
        const auto now = std::chrono::steady_clock::now();
        if (now - m_linesSince < std::chrono::seconds(1))
            return;
        if (m_linesLeftOut)
            std::fprintf(stderr, "korvane-emulator: socketcand: %llu more lines left out in the last second\n",
                         (unsigned long long)m_linesLeftOut);
        m_linesLeftOut = 0;
        if (begin) {
            m_linesSince = now;
            m_lines = 0;
        }
    }

    // The frame a client sent that the node could not take, tried again.
    void sendHeld(Client &client)
    {
        if (!client.holding)
            return;
        std::lock_guard<std::mutex> lock(m_board->mutex());
        if (m_board->sendFromClient(unsigned(client.segment), client.held, boardNow(), &client))
            client.holding = false;
    }

    // Frames into the connection while it takes them, and a word on what
    // was lost, on the connection and in the debug output, once a second.
    void fill(Client &client)
    {
        const auto now = std::chrono::steady_clock::now();
        // Taken under the lock, formatted outside it: the board's thread
        // meets the lock for as short a time as can be.
        std::vector<Waiting> &batch = m_batch;
        batch.clear();
        std::unique_lock<std::mutex> lock(m_mutex);
        if (now >= client.rawFrom && client.out.size() < kOutLimit) {
            // A frame's message is at least 24 bytes with its space.
            const size_t most = (kOutLimit - client.out.size()) / 24 + 1;
            while (!client.frames.empty() && batch.size() < most) {
                batch.push_back(std::move(client.frames.front()));
                client.frames.pop_front();
            }
        }
        lock.unlock();
        for (const Waiting &next : batch) {
            client.out += ' ';
            client.out += next.text.empty() ? frameMessage(next.frame, next.micros) : next.text;
        }
        lock.lock();
        if (client.lost != client.lostSaid && now - client.lostSaidAt >= std::chrono::seconds(1)) {
            const uint64_t lost = client.lost - client.lostSaid;
            // In raw mode an error frame, as clients read every "< error"
            // there: a controller problem, receive overflow, at the time of
            // the last frame lost; on the connection when it has room. In
            // the broadcast manager's mode an error is a command's: there
            // it is only said here.
            if (client.mode == Client::Mode::Raw && client.out.size() < kOutLimit) {
                client.out += ' ';
                client.out += lostFramesMessage(client.lostAtMicros);
            }
            say("korvane-emulator: socketcand: " + client.name + " lost " + std::to_string(lost) +
                " frames: it does not read as fast as the bus sends");
            client.lostSaid = client.lost;
            client.lostSaidAt = now;
        }
    }

    void writeTo(Client &client)
    {
        while (!client.out.empty()) {
            const ssize_t sent = ::send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    client.closing = true;
                return;
            }
            client.out.erase(0, size_t(sent));
        }
    }

    // Waits for the clients' sockets (a few milliseconds) and marks those
    // that failed or hung up.
    void waitForClients()
    {
        std::vector<pollfd> fds;
        fds.push_back({m_listener, POLLIN, 0});
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            // A client not read is still watched for its hang-up.
            for (const Client &client : m_clients)
                fds.push_back({client.fd,
                               short((reading(client) ? POLLIN : 0) | (client.out.empty() ? 0 : POLLOUT) |
                                     (client.holding && !client.hungUp ? POLLRDHUP : 0)),
                               0});
        }
        // Frames reach clients within a few milliseconds; without clients
        // only a new one is waited for.
        ::poll(fds.data(), fds.size(), fds.size() > 1 ? 2 : 50);
        // A connection that failed or hung up is closed, whether or not it
        // is read.
        size_t i = 1;
        for (Client &client : m_clients) {
            if (i < fds.size() && (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)))
                client.closing = true;
            if (i < fds.size() && (fds[i].revents & POLLRDHUP) && client.holding && !client.hungUp) {
                client.hungUp = true;
                client.hungUpAt = std::chrono::steady_clock::now();
            }
            ++i;
        }
    }

    // One round for a client: its held frame tried again, its messages
    // answered, what waits for it sent; closed when its time is up.
    void serve(Client &client, std::chrono::steady_clock::time_point now)
    {
        if (client.holding) {
            sendHeld(client);
            answer(client);
        }
        if (client.holding && client.hungUp && now - std::max(client.hungUpAt, client.heldAt) > kOpenWithin) {
            say("korvane-emulator: socketcand: " + client.name + " hung up while its frame waited " +
                std::to_string(kOpenWithin.count()) + " s for the bus: it and what it sent after it are dropped");
            client.closing = true;
        }
        readFrom(client);
        if (client.mode == Client::Mode::NoBus && !client.closing && now - client.connectedAt > kOpenWithin) {
            reply(client, "error no bus opened within " + std::to_string(kOpenWithin.count()) + " s");
            writeTo(client);
            client.closing = true;
        }
        fill(client);
        sayStatistics(client);
        writeTo(client);
    }

    // The clients that are closing leave, their jobs ending with them (the
    // board's lock is taken before the clients' lock, never after).
    void closeLeavers()
    {
        for (Client &client : m_clients) {
            if (client.closing)
                endJobs(client);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_clients.begin(); it != m_clients.end();) {
            if (it->closing) {
                say("korvane-emulator: socketcand: " + it->name + " left");
                ::close(it->fd);
                it = m_clients.erase(it);
            } else {
                ++it;
            }
        }
    }

    void run()
    {
        auto lastAdvance = std::chrono::steady_clock::now();
        while (!m_stop) {
            waitForClients();
            acceptClients();
            // Only this thread adds or removes clients: the list is walked
            // without the lock, which guards each client's frame queue.
            const auto now = std::chrono::steady_clock::now();
            for (Client &client : m_clients)
                serve(client, now);
            sayLeftOut(false);
            size_t waiting = 0;
            for (const Client &client : m_clients)
                waiting += client.out.size();
            m_bytesWaiting = waiting;
            release();
            runJobs();
            announce();
            closeLeavers();
            m_clientCount = m_clients.size();
            // With clients connected, the bus goes on even while no request
            // comes: frames due are played out and reach them.
            if (!m_clients.empty() && now - lastAdvance >= std::chrono::milliseconds(10)) {
                lastAdvance = now;
                std::lock_guard<std::mutex> lock(m_board->mutex());
                m_board->advanceTo(std::max(m_clock->now(), m_board->processedUntil()));
            }
        }
    }

    std::shared_ptr<Board> m_board;
    std::shared_ptr<Clock> m_clock;
    std::vector<Waiting> m_batch; // the server's thread only
    int m_listener;
    uint16_t m_port;
    unsigned m_firstBus = 0;
    unsigned m_segments = 1;
    // The lines of this second on stderr, and those left out.
    std::chrono::steady_clock::time_point m_linesSince;
    int m_lines = 0;
    uint64_t m_linesLeftOut = 0;
    std::mutex m_mutex;
    std::list<Client> m_clients;
    // Frames and bytes on each segment since the bridge began, as an
    // interface counts them: received from every node but the bridge's,
    // transmitted by the bridge's. Under m_mutex.
    struct Count {
        uint64_t bytes = 0;
        uint64_t packets = 0;
        void add(unsigned length)
        {
            bytes += length;
            ++packets;
        }
    };
    struct Statistics {
        Count received;
        Count transmitted;
    };
    std::vector<Statistics> m_statistics;
    std::vector<Beacon> m_beacons;
    int m_beaconSocket = -1;
    std::chrono::steady_clock::time_point m_beaconNext;
    std::atomic<uint64_t> m_lostTotal{0};
    std::atomic<size_t> m_bytesWaiting{0};
    std::atomic<size_t> m_clientCount{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::string beaconDatagram(const std::string &address, uint16_t port, unsigned firstBus, unsigned segments)
{
    char host[256] = "korvane";
    ::gethostname(host, sizeof host - 1);
    std::string name;
    for (const char *c = host; *c; ++c) {
        if (std::isalnum(static_cast<unsigned char>(*c)) || *c == '-' || *c == '.' || *c == '_')
            name += *c;
    }
    std::string text = "<CANBeacon name=\"" + name + "\" type=\"SocketCAN\" description=\"Korvane soft's emulated "
                       "board\">\n  <URL>can://" + address + ":" + std::to_string(port) + "</URL>\n";
    for (unsigned i = 0; i < segments; ++i)
        text += "  <Bus name=\"can" + std::to_string(firstBus + i) + "\"/>\n";
    return text + "</CANBeacon>\n";
}

// Loopback's broadcast address for a loopback address; for another, that
// of the interface that has it; for every address, each interface's.
std::vector<Beacon> beacons(in_addr listening, uint16_t port, unsigned firstBus, unsigned segments)
{
    std::vector<Beacon> found;
    const uint32_t host = ntohl(listening.s_addr);
    if ((host >> 24) == 127) {
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &listening, text, sizeof text);
        found.push_back({in_addr{htonl(0x7FFFFFFFu)}, beaconDatagram(text, port, firstBus, segments)});
        return found;
    }
    ifaddrs *interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return found;
    for (const ifaddrs *i = interfaces; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_BROADCAST) ||
            !i->ifa_broadaddr)
            continue;
        const in_addr own = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr;
        if (listening.s_addr != INADDR_ANY && own.s_addr != listening.s_addr)
            continue;
        char text[INET_ADDRSTRLEN];
        ::inet_ntop(AF_INET, &own, text, sizeof text);
        found.push_back({reinterpret_cast<const sockaddr_in *>(i->ifa_broadaddr)->sin_addr,
                         beaconDatagram(text, port, firstBus, segments)});
    }
    ::freeifaddrs(interfaces);
    return found;
}

} // namespace socketcand

SocketcandBridge::SocketcandBridge(std::unique_ptr<socketcand::Server> server) : m_server(std::move(server)) {}

SocketcandBridge::~SocketcandBridge() = default;

std::unique_ptr<SocketcandBridge> SocketcandBridge::start(std::shared_ptr<Board> board, std::shared_ptr<Clock> clock,
                                                          const EmulatorSettings &settings, std::string *error)
{
    const std::string where = settings.socketcandAddress + ":" + std::to_string(settings.socketcandPort);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(settings.socketcandPort);
    const int one = 1;
    if (fd < 0 || ::inet_pton(AF_INET, settings.socketcandAddress.c_str(), &address.sin_addr) != 1 ||
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 128) != 0) {
        *error = "KORVANE_EMU_SOCKETCAND=" + where + " is not accepted: cannot listen there: " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    // Board N's buses are named as the runner's frame log names its channels.
    const unsigned firstBus = 2 * settings.boardIndex;
    std::vector<socketcand::Beacon> beacons;
    if (settings.socketcandBeacon)
        beacons = socketcand::beacons(address.sin_addr, settings.socketcandPort, firstBus, board->segments());
    auto server = std::make_unique<socketcand::Server>(std::move(board), std::move(clock), fd, settings.socketcandPort,
                                                       std::move(beacons), firstBus);
    const std::string first = "can" + std::to_string(firstBus);
    const std::string second = "can" + std::to_string(firstBus + 1);
    std::fprintf(stderr, "korvane-emulator: socketcand: serving %s on %s\n",
                 (server->segments() == 2 ? first + " (channel 1) and " + second + " (channel 2)" : first).c_str(),
                 where.c_str());
    return std::unique_ptr<SocketcandBridge>(new SocketcandBridge(std::move(server)));
}

uint16_t SocketcandBridge::port() const
{
    return m_server->port();
}

size_t SocketcandBridge::clients() const
{
    return m_server->clients();
}

size_t SocketcandBridge::bytesWaiting() const
{
    return m_server->bytesWaiting();
}

uint64_t SocketcandBridge::framesLost() const
{
    return m_server->framesLost();
}

} // namespace boardemu
