// A controller's error state as read from its TEC, REC and EFLG registers.
#ifndef CONTROLLERHEALTH_H
#define CONTROLLERHEALTH_H

struct ControllerHealth {
    bool read = false; // its error state could be read
    int tec = 0;
    int rec = 0;
    int eflg = 0;
    bool errorPassive() const { return (eflg & 0x18) != 0; } // TXEP or RXEP
    bool busOff() const { return (eflg & 0x20) != 0; }       // TXBO
};

// The worse of two readings of a controller: the higher counters and every
// flag either had; a reading that could not be made adds nothing.
inline ControllerHealth worse(const ControllerHealth &a, const ControllerHealth &b)
{
    if (!a.read)
        return b;
    if (!b.read)
        return a;
    ControllerHealth c = a;
    c.tec = a.tec > b.tec ? a.tec : b.tec;
    c.rec = a.rec > b.rec ? a.rec : b.rec;
    c.eflg = a.eflg | b.eflg;
    return c;
}

#endif
