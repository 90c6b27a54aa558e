// Why a worker's loop ended, and whose failure each reason is: one table,
// read by the workers, the runner's verdict and its diagnosis alike. Plain
// C++, so that the verdict can be tested without Qt.
#ifndef WORKERCAUSE_H
#define WORKERCAUSE_H

struct WorkerCauses {
    enum Cause {
        Stopped,       // asked to stop or to abort, or the groups asked for were sent
        DeviceNotOpen, // the worker's board object did not open
        RequestFailed, // a driver request failed
        BridgeStuck,   // the channel's SPI bridge stayed busy
        FrameNotSent,  // a frame did not go out: error flags, or no acknowledgement in time
        FrameOrder,    // a frame left before one loaded earlier
        TooManyBlocks, // the driver returned more DMA blocks than were asked for
    };
    // Whose failure: the board's (its traffic is wrong), the host's (the
    // driver, a request, a board object: the test could not be carried out,
    // whatever the board would have done), or nobody's.
    enum class Fault { None, Board, Host };
    struct Rule {
        Cause cause;
        Fault fault;
        const char *name;
    };
    static const Rule &ruleOf(Cause cause)
    {
        static const Rule rules[] = {
            {Stopped, Fault::None, "stopped"},
            {DeviceNotOpen, Fault::Host, "device not open"},
            {RequestFailed, Fault::Host, "driver request failed"},
            {BridgeStuck, Fault::Board, "SPI bridge stuck busy"},
            {FrameNotSent, Fault::Board, "frame not sent"},
            {FrameOrder, Fault::Board, "frames out of order"},
            {TooManyBlocks, Fault::Host, "too many DMA blocks"},
        };
        for (const Rule &rule : rules) {
            if (rule.cause == cause)
                return rule;
        }
        static const Rule unknown = {cause, Fault::Host, "?"};
        return unknown;
    }
    static Fault faultOf(Cause cause) { return ruleOf(cause).fault; }
};

#endif
