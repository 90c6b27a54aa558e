// What the qualification's cases share: the words for where a fault lies,
// and frames sent one by one and read back on the other channel.
#ifndef CHECK_QUALIFYSUPPORT_H
#define CHECK_QUALIFYSUPPORT_H

#include "bench.h"

#include <string>
#include <vector>

namespace qualify {

inline std::string channel(unsigned c)
{
    return "channel " + std::to_string(c);
}

// "the board's path from channel 1 to channel 2 (channel 1's transmit
// buffers or channel 2's receive buffers)"
inline std::string path(unsigned from)
{
    const unsigned to = 3 - from;
    return "the board's path from " + channel(from) + " to " + channel(to) + " (" + channel(from) +
           "'s transmit buffers or " + channel(to) + "'s receive buffers)";
}

// Sends each frame from the channel's buffer 0, one after the other, and
// reads them on the other channel, in order. A frame that did not leave, or
// frames that did not all arrive, are findings.
inline std::vector<Received> exchange(Bench &bench, unsigned from, const std::vector<Frame> &frames,
                                      Findings &findings)
{
    const unsigned to = 3 - from;
    for (const Frame &frame : frames) {
        bench.load(from, 0, frame);
        if (!bench.waitSent(from, 0)) {
            findings.note(channel(from) + "'s frame " + frame.text() + " did not leave its buffer",
                          "the board's " + channel(from) + ": its transmit buffer 0 or the cable");
            bench.withdraw(from, 0);
            break;
        }
    }
    std::vector<Received> got = bench.receive(to, frames.size());
    if (got.size() < frames.size())
        findings.note("sent " + std::to_string(frames.size()) + " frames from " + channel(from) + ", " + channel(to) +
                          " received " + std::to_string(got.size()),
                      path(from) + " or the board's DMA");
    return got;
}

} // namespace qualify

#endif
