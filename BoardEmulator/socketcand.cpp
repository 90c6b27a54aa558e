#include "socketcand.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace boardemu {
namespace socketcand {

namespace {

bool hexDigits(const std::string &text, size_t most)
{
    return !text.empty() && text.size() <= most && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// A client's word as an error reply may quote it: at most 32 characters,
// anything but printable ASCII (and the brackets) shown as '?'.
std::string quoted(const std::string &word)
{
    std::string text = word.substr(0, 32);
    for (char &c : text) {
        if (c < 0x21 || c > 0x7E || c == '<' || c == '>')
            c = '?';
    }
    return text;
}

} // namespace

std::optional<Command> parse(const std::string &message, std::string *reason)
{
    std::istringstream in(message);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty()) {
        *reason = "empty message";
        return std::nullopt;
    }
    Command command;
    const std::string &verb = words[0];
    if (verb == "open") {
        if (words.size() != 2) {
            *reason = "open takes a bus name";
            return std::nullopt;
        }
        command.kind = Command::Open;
        command.bus = words[1];
        return command;
    }
    if (verb == "rawmode" || verb == "echo") {
        if (words.size() != 1) {
            *reason = verb + " takes nothing";
            return std::nullopt;
        }
        command.kind = verb == "rawmode" ? Command::RawMode : Command::Echo;
        return command;
    }
    // What socketcand clients may ask that this server does not do, refused
    // plainly: the connection goes on.
    if (verb == "isotpmode") {
        *reason = "isotpmode is not supported by this server";
        return std::nullopt;
    }
    if (words.size() >= 2 && (words[1] == "B" || words[1] == "C")) {
        *reason = "bus configuration is not supported by this server: the tool's controllers set the bit rate";
        return std::nullopt;
    }
    if (verb != "send") {
        *reason = "unknown command " + quoted(verb);
        return std::nullopt;
    }
    if (words.size() < 3 || !hexDigits(words[1], 8) || words[2].size() != 1 ||
        words[2].find_first_not_of("012345678") != std::string::npos) {
        *reason = "send takes an identifier (up to 8 hexadecimal digits), a length from 0 to 8 and the bytes";
        return std::nullopt;
    }
    CanFrame &frame = command.frame;
    frame.extended = words[1].size() > 3;
    frame.id = uint32_t(std::stoul(words[1], nullptr, 16));
    if (frame.id > (frame.extended ? 0x1FFFFFFFu : 0x7FFu)) {
        *reason = "identifier out of range";
        return std::nullopt;
    }
    frame.dlc = uint8_t(words[2][0] - '0');
    if (words.size() != 3u + frame.dlc) {
        *reason = "send gives " + std::to_string(words.size() - 3) + " bytes for a length of " +
                  std::to_string(frame.dlc);
        return std::nullopt;
    }
    for (unsigned i = 0; i < frame.dlc; ++i) {
        if (!hexDigits(words[3 + i], 2)) {
            *reason = "a byte is one or two hexadecimal digits";
            return std::nullopt;
        }
        frame.data[i] = uint8_t(std::stoul(words[3 + i], nullptr, 16));
    }
    command.kind = Command::Send;
    return command;
}

std::string lostFramesMessage(int64_t micros)
{
    char text[64];
    std::snprintf(text, sizeof text, "< error %03X %lld.%06lld %s >", kErrorClassController,
                  (long long)(micros / 1000000), (long long)(micros % 1000000), "0001000000000000");
    return text;
}

std::string frameMessage(const CanFrame &frame, int64_t micros)
{
    char text[96];
    int n = std::snprintf(text, sizeof text, frame.extended ? "< frame %08X %lld.%06lld " : "< frame %03X %lld.%06lld ",
                          frame.id, (long long)(micros / 1000000), (long long)(micros % 1000000));
    for (unsigned i = 0; i < frame.dataLength(); ++i)
        n += std::snprintf(text + n, sizeof text - size_t(n), "%02X", frame.data[i]);
    std::snprintf(text + n, sizeof text - size_t(n), " >");
    return text;
}

size_t Reader::feed(const char *bytes, size_t count)
{
    // What was taken goes once it is half the buffer: each byte is moved at
    // most a few times.
    if (m_pos > 0 && m_pos >= m_buffer.size() / 2) {
        m_buffer.erase(0, m_pos);
        m_scan -= std::min(m_scan, m_pos);
        m_pos = 0;
    }
    const size_t taken = std::min(count, room());
    m_buffer.append(bytes, taken);
    return taken;
}

void Reader::dropTo(size_t end)
{
    m_pos = end;
    m_scan = end;
}

// Thrown away up to the next '<', here or in what comes.
void Reader::skipFrom(size_t at)
{
    const size_t open = m_buffer.find('<', at);
    m_skipping = open == std::string::npos;
    dropTo(m_skipping ? m_buffer.size() : open);
}

bool Reader::next(std::string *message, std::string *reason)
{
    reason->clear();
    if (m_skipping) {
        const size_t open = m_buffer.find('<', m_pos);
        if (open == std::string::npos) {
            dropTo(m_buffer.size());
            return false;
        }
        dropTo(open);
        m_skipping = false;
    }
    const size_t start = m_buffer.find_first_not_of(" \t\r\n", m_pos);
    if (start == std::string::npos) {
        dropTo(m_buffer.size());
        return false;
    }
    if (m_buffer[start] != '<') {
        skipFrom(start);
        *reason = "garbage outside a message";
        return false;
    }
    if (m_scan < start + 1)
        m_scan = start + 1;
    const size_t close = m_buffer.find('>', m_scan);
    const size_t end = close == std::string::npos ? m_buffer.size() : close;
    if (end - start > kMaxMessage) {
        // Refused unread: up to the next message's start.
        skipFrom(start + 1);
        *reason = "message too long";
        return false;
    }
    if (close == std::string::npos) {
        m_scan = m_buffer.size();
        m_pos = start;
        return false;
    }
    message->assign(m_buffer, start + 1, close - start - 1);
    dropTo(close + 1);
    if (message->find('<') != std::string::npos) {
        *reason = "a message inside a message";
        return false;
    }
    return true;
}

// The server: one thread, non-blocking sockets, poll. Frames come from the
// board's tap (under the board's lock, in whatever thread advanced it) into
// each client's bounded queue; the thread moves them into the connection as
// fast as the client reads.
class Server
{
public:
    // Frame messages a client may have waiting; more are lost.
    static constexpr size_t kQueueLimit = 8192;
    static constexpr size_t kMaxClients = 8;
    // A round's share of one client's bytes: no client holds the server for
    // longer than it takes to read and answer this much.
    static constexpr size_t kReadSlice = 4096;
    // Replies waiting beyond this: the client's bytes are left unread until
    // it has taken them (it sends without reading what it is answered).
    static constexpr size_t kReplyLimit = 64 * 1024;

    Server(std::shared_ptr<Board> board, std::shared_ptr<Clock> clock, int listener, uint16_t port)
        : m_board(std::move(board)), m_clock(std::move(clock)), m_listener(listener), m_port(port)
    {
        std::lock_guard<std::mutex> lock(m_board->mutex());
        m_segments = m_board->segments();
        m_board->setFrameTap([this](unsigned segment, const CanFrame &frame, int64_t micros) {
            onFrame(segment, frame, micros);
        });
        m_thread = std::thread([this] { run(); });
    }

    ~Server()
    {
        m_stop = true;
        m_thread.join();
        {
            std::lock_guard<std::mutex> lock(m_board->mutex());
            m_board->setFrameTap({});
        }
        for (Client &client : m_clients)
            ::close(client.fd);
        ::close(m_listener);
    }

    uint16_t port() const { return m_port; }
    unsigned segments() const { return m_segments; }
    uint64_t framesLost() const { return m_lostTotal; }

private:
    struct Client {
        int fd = -1;
        std::string name;
        Reader reader;
        std::string out;          // what is on its way to the client
        int segment = -1;         // the bus opened
        bool raw = false;
        std::chrono::steady_clock::time_point rawFrom; // frames are sent from then on
        // Under m_mutex: frame messages waiting, and frames lost.
        std::deque<std::string> frames;
        uint64_t lost = 0;
        uint64_t lostSaid = 0;
        int64_t lostAtMicros = 0; // the board's time of the last frame lost
        std::chrono::steady_clock::time_point lostSaidAt;
        bool closing = false;
        bool sendingClosed = false; // it shut its sending side: it only watches
    };

    // Whether a client's bytes are read this round.
    static bool reading(const Client &client)
    {
        return !client.sendingClosed && client.out.size() < kReplyLimit;
    }

    // In whatever thread advanced the board, under its lock: never blocks.
    void onFrame(unsigned segment, const CanFrame &frame, int64_t micros)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::string message;
        for (Client &client : m_clients) {
            if (!client.raw || client.segment != int(segment))
                continue;
            if (client.frames.size() >= kQueueLimit) {
                ++client.lost;
                ++m_lostTotal;
                client.lostAtMicros = micros;
                continue;
            }
            if (message.empty())
                message = frameMessage(frame, micros);
            client.frames.push_back(message);
        }
    }

    // "< hi >" and "< ok >" go alone, as clients read them whole; frames
    // and errors come after a space (clients that take one character too
    // many after the last whole message they read then take that).
    void reply(Client &client, const std::string &text)
    {
        if (text.compare(0, 5, "error") == 0)
            client.out += ' ';
        client.out += "< " + text + " >";
    }

    void handle(Client &client, const Command &command)
    {
        switch (command.kind) {
        case Command::Echo:
            reply(client, "echo");
            return;
        case Command::Open: {
            int segment = -1;
            for (unsigned i = 0; i < m_segments; ++i) {
                if (command.bus == "can" + std::to_string(i))
                    segment = int(i);
            }
            if (segment < 0 || client.segment >= 0) {
                reply(client, client.segment >= 0 ? "error a bus is open already" : "error no such bus");
                return;
            }
            client.segment = segment;
            reply(client, "ok");
            return;
        }
        case Command::RawMode:
            if (client.segment < 0) {
                reply(client, "error open a bus first");
                return;
            }
            reply(client, "ok");
            {
                // The client reads the "ok" by itself before any frame
                // comes: frames wait a moment in its queue, none is lost.
                std::lock_guard<std::mutex> lock(m_mutex);
                client.raw = true;
                client.rawFrom = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
            }
            return;
        case Command::Send: {
            if (!client.raw) {
                reply(client, "error send is for rawmode");
                return;
            }
            bool queued = false;
            {
                std::lock_guard<std::mutex> lock(m_board->mutex());
                const Time t = std::max(m_clock->now(), m_board->processedUntil());
                m_board->advanceTo(t);
                queued = m_board->sendFromClient(unsigned(client.segment), command.frame, t);
            }
            if (!queued)
                reply(client, "error the bridge's node cannot take the frame (queue full or bus-off)");
            return;
        }
        }
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
                const char refusal[] = "< error too many clients >";
                (void)!::send(fd, refusal, sizeof refusal - 1, MSG_NOSIGNAL);
                ::close(fd);
                std::fprintf(stderr, "korvane-emulator: socketcand: %s refused: %zu clients already\n", name.c_str(),
                             kMaxClients);
                continue;
            }
            m_clients.emplace_back();
            Client &client = m_clients.back();
            client.fd = fd;
            client.name = name;
            client.out = "< hi >";
            std::fprintf(stderr, "korvane-emulator: socketcand: %s connected\n", name.c_str());
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
            if (!client.raw)
                client.closing = true;
            return;
        }
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                client.closing = true;
            return;
        }
        client.reader.feed(bytes, size_t(got));
        std::string message, reason;
        for (;;) {
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

    // Frames into the connection while it takes them, and a word on what
    // was lost, on the connection and in the debug output, once a second.
    void fill(Client &client)
    {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (client.raw && now >= client.rawFrom) {
            while (!client.frames.empty() && client.out.size() < 64 * 1024) {
                client.out += ' ';
                client.out += client.frames.front();
                client.frames.pop_front();
            }
        }
        if (client.lost != client.lostSaid && now - client.lostSaidAt >= std::chrono::seconds(1)) {
            const uint64_t lost = client.lost - client.lostSaid;
            // In raw mode an error frame, as clients read every "< error"
            // there: a controller problem, receive overflow, at the time of
            // the last frame lost.
            client.out += ' ';
            client.out += lostFramesMessage(client.lostAtMicros);
            std::fprintf(stderr,
                         "korvane-emulator: socketcand: %s lost %llu frames: it does not read as fast as the bus "
                         "sends\n",
                         client.name.c_str(), (unsigned long long)lost);
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

    void run()
    {
        auto lastAdvance = std::chrono::steady_clock::now();
        while (!m_stop) {
            std::vector<pollfd> fds;
            fds.push_back({m_listener, POLLIN, 0});
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (const Client &client : m_clients)
                    fds.push_back({client.fd,
                                   short((reading(client) ? POLLIN : 0) | (client.out.empty() ? 0 : POLLOUT)), 0});
            }
            // Frames reach clients within a few milliseconds; without
            // clients only a new one is waited for.
            ::poll(fds.data(), fds.size(), fds.size() > 1 ? 2 : 50);
            acceptClients();
            // Only this thread adds or removes clients: the list is walked
            // without the lock, which guards each client's frame queue.
            for (Client &client : m_clients) {
                readFrom(client);
                fill(client);
                writeTo(client);
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (auto it = m_clients.begin(); it != m_clients.end();) {
                    if (it->closing) {
                        std::fprintf(stderr, "korvane-emulator: socketcand: %s left\n", it->name.c_str());
                        ::close(it->fd);
                        it = m_clients.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
            // With clients connected, the bus goes on even while no request
            // comes: frames due are played out and reach them.
            const auto now = std::chrono::steady_clock::now();
            if (!m_clients.empty() && now - lastAdvance >= std::chrono::milliseconds(10)) {
                lastAdvance = now;
                std::lock_guard<std::mutex> lock(m_board->mutex());
                m_board->advanceTo(std::max(m_clock->now(), m_board->processedUntil()));
            }
        }
    }

    std::shared_ptr<Board> m_board;
    std::shared_ptr<Clock> m_clock;
    int m_listener;
    uint16_t m_port;
    unsigned m_segments = 1;
    std::mutex m_mutex;
    std::list<Client> m_clients;
    std::atomic<uint64_t> m_lostTotal{0};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

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
        ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
        *error = "KORVANE_EMU_SOCKETCAND=" + where + " is not accepted: cannot listen there: " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    auto server = std::make_unique<socketcand::Server>(std::move(board), std::move(clock), fd, settings.socketcandPort);
    std::fprintf(stderr, "korvane-emulator: socketcand: serving %s on %s\n",
                 server->segments() == 2 ? "can0 (channel 1) and can1 (channel 2)" : "can0", where.c_str());
    return std::unique_ptr<SocketcandBridge>(new SocketcandBridge(std::move(server)));
}

uint16_t SocketcandBridge::port() const
{
    return m_server->port();
}

uint64_t SocketcandBridge::framesLost() const
{
    return m_server->framesLost();
}

} // namespace boardemu
