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

#endif
