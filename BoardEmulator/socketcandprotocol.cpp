#include "socketcandprotocol.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string_view>

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

namespace {

// An identifier as the protocol writes it: hexadecimal, extended when it
// has more than three digits.
bool identifier(const std::string &word, CanFrame *frame)
{
    if (!hexDigits(word, 8))
        return false;
    frame->extended = word.size() > 3;
    frame->id = uint32_t(std::stoul(word, nullptr, 16));
    return frame->id <= (frame->extended ? 0x1FFFFFFFu : 0x7FFu);
}

bool decimal(const std::string &word, int64_t most, int64_t *value)
{
    if (word.empty() || word.size() > 10 || word.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::stoll(word);
    return *value <= most;
}

// LEN then LEN bytes, from words[at] on, to the end of the message; usage
// is the command's own for a length that is not one.
bool lengthAndBytes(const std::vector<std::string> &words, size_t at, CanFrame *frame, const std::string &usage,
                    std::string *reason)
{
    if (words.size() <= at || words[at].size() != 1 || words[at].find_first_not_of("012345678") != std::string::npos) {
        *reason = usage;
        return false;
    }
    frame->dlc = uint8_t(words[at][0] - '0');
    if (words.size() != at + 1 + frame->dlc) {
        *reason = words[0] + " gives " + std::to_string(words.size() - at - 1) + " bytes for a length of " +
                  std::to_string(frame->dlc);
        return false;
    }
    for (unsigned i = 0; i < frame->dlc; ++i) {
        if (!hexDigits(words[at + 1 + i], 2)) {
            *reason = "a byte is one or two hexadecimal digits";
            return false;
        }
        frame->data[i] = uint8_t(std::stoul(words[at + 1 + i], nullptr, 16));
    }
    return true;
}

// SECS USECS: an interval of at most a day.
bool interval(const std::string &secs, const std::string &usecs, int64_t *micros)
{
    int64_t s = 0, us = 0;
    if (!decimal(secs, 86400, &s) || !decimal(usecs, 86400000000LL, &us))
        return false;
    *micros = s * 1000000 + us;
    return *micros <= 86400000000LL;
}

} // namespace

namespace {

// The commands that carry a frame, an identifier or an interval: sending,
// the broadcast manager's jobs, statistics.
std::optional<Command> parseFrameCommand(const std::vector<std::string> &words, std::string *reason)
{
    Command command;
    const std::string &verb = words[0];
    const auto refuse = [reason](const std::string &why) {
        *reason = why;
        return std::nullopt;
    };
    CanFrame &frame = command.frame;
    if (verb == "send" || verb == "update") {
        const std::string usage =
            verb + " takes an identifier (up to 8 hexadecimal digits), a length from 0 to 8 and the bytes";
        if (words.size() < 3 || !identifier(words[1], &frame))
            return refuse(usage);
        if (!lengthAndBytes(words, 2, &frame, usage, reason))
            return std::nullopt;
        command.kind = verb == "send" ? Command::Send : Command::Update;
        return command;
    }
    if (verb == "add" || verb == "filter") {
        const std::string usage = verb + " takes seconds, microseconds, an identifier, a length from 0 to 8 and the bytes";
        if (words.size() < 5 || !interval(words[1], words[2], &command.intervalMicros) ||
            !identifier(words[3], &frame))
            return refuse(usage);
        if (!lengthAndBytes(words, 4, &frame, usage, reason))
            return std::nullopt;
        command.kind = verb == "add" ? Command::Add : Command::Filter;
        if (command.kind == Command::Filter)
            command.masks.assign(frame.data.begin(), frame.data.begin() + frame.dlc);
        return command;
    }
    if (verb == "subscribe") {
        if (words.size() != 4 || !interval(words[1], words[2], &command.intervalMicros) ||
            !identifier(words[3], &frame))
            return refuse("subscribe takes seconds, microseconds and an identifier");
        command.kind = Command::Subscribe;
        return command;
    }
    if (verb == "muxfilter") {
        int64_t tuples = 0;
        if (words.size() < 5 || !interval(words[1], words[2], &command.intervalMicros) ||
            !identifier(words[3], &frame) || !decimal(words[4], 257, &tuples) || tuples < 2 ||
            words.size() != 5 + size_t(tuples) * 8)
            return refuse("muxfilter takes seconds, microseconds, an identifier, a count of 2 to 257 and 8 bytes "
                          "for each");
        for (size_t i = 5; i < words.size(); ++i) {
            if (!hexDigits(words[i], 2))
                return refuse("a byte is one or two hexadecimal digits");
            command.masks.push_back(uint8_t(std::stoul(words[i], nullptr, 16)));
        }
        command.kind = Command::MuxFilter;
        return command;
    }
    if (verb == "unsubscribe" || verb == "delete") {
        if (words.size() != 2 || !identifier(words[1], &frame))
            return refuse(verb + " takes an identifier");
        command.kind = verb == "delete" ? Command::Delete : Command::Unsubscribe;
        return command;
    }
    if (verb == "statistics") {
        int64_t ms = 0;
        if (words.size() != 2 || !decimal(words[1], 86400000, &ms))
            return refuse("statistics takes an interval in milliseconds (0 stops them)");
        command.kind = Command::Statistics;
        command.intervalMicros = ms * 1000;
        return command;
    }
    return refuse("unknown command " + quoted(verb));
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
    const auto refuse = [reason](const std::string &why) {
        *reason = why;
        return std::nullopt;
    };
    if (verb == "open") {
        if (words.size() != 2)
            return refuse("open takes a bus name");
        command.kind = Command::Open;
        command.bus = words[1];
        return command;
    }
    const struct {
        const char *verb;
        Command::Kind kind;
    } bare[] = {{"rawmode", Command::RawMode},
                {"bcmmode", Command::BcmMode},
                {"controlmode", Command::ControlMode},
                {"echo", Command::Echo}};
    for (const auto &b : bare) {
        if (verb != b.verb)
            continue;
        if (words.size() != 1)
            return refuse(verb + " takes nothing");
        command.kind = b.kind;
        return command;
    }
    // What socketcand clients may ask that this server does not do, refused
    // plainly: the connection goes on.
    if (verb == "isotpmode")
        return refuse("isotpmode is not supported by this server");
    if (words.size() >= 2 && (words[1] == "B" || words[1] == "C"))
        return refuse("bus configuration is not supported by this server: the tool's controllers set the bit rate");
    return parseFrameCommand(words, reason);
}

std::string errorMessage(uint32_t errorClass, const std::array<uint8_t, 8> &data, int64_t micros)
{
    char text[80];
    int n = std::snprintf(text, sizeof text, "< error %03X %lld.%06lld ", errorClass & 0x1FFFFFFFu,
                          (long long)(micros / 1000000), (long long)(micros % 1000000));
    for (uint8_t byte : data)
        n += std::snprintf(text + n, sizeof text - size_t(n), "%02X", byte);
    std::snprintf(text + n, sizeof text - size_t(n), " >");
    return text;
}

std::string lostFramesMessage(int64_t micros)
{
    return errorMessage(canerror::kController, {0, 0x01, 0, 0, 0, 0, 0, 0}, micros);
}

std::string frameMessage(const CanFrame &frame, int64_t micros)
{
    // Made for every frame a client reads: digits by hand, not by printf.
    static const char hex[] = "0123456789ABCDEF";
    char text[80];
    char *p = text;
    for (char c : std::string_view("< frame "))
        *p++ = c;
    for (int shift = frame.extended ? 28 : 8; shift >= 0; shift -= 4)
        *p++ = hex[(frame.id >> shift) & 0xF];
    *p++ = ' ';
    const uint64_t seconds = uint64_t(micros / 1000000);
    char digits[20];
    int n = 0;
    uint64_t rest = seconds;
    do {
        digits[n++] = char('0' + rest % 10);
        rest /= 10;
    } while (rest);
    while (n)
        *p++ = digits[--n];
    *p++ = '.';
    uint64_t fraction = uint64_t(micros % 1000000);
    for (int i = 5; i >= 0; --i) {
        p[i] = char('0' + fraction % 10);
        fraction /= 10;
    }
    p += 6;
    *p++ = ' ';
    for (unsigned i = 0; i < frame.dataLength(); ++i) {
        *p++ = hex[frame.data[i] >> 4];
        *p++ = hex[frame.data[i] & 0xF];
    }
    *p++ = ' ';
    *p++ = '>';
    return std::string(text, size_t(p - text));
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
    const size_t inner = m_buffer.find('<', start + 1);
    if (inner < close) {
        // What came before the inner '<' is refused; the parsing goes on there.
        dropTo(inner);
        *reason = "a message inside a message";
        return false;
    }
    message->assign(m_buffer, start + 1, close - start - 1);
    dropTo(close + 1);
    return true;
}

} // namespace socketcand
} // namespace boardemu
