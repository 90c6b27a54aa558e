#ifndef CANDEVICEEX_H
#define CANDEVICEEX_H

#include "boardinterface.h"
#include "candevice.h"

// Board registers and memory.
enum : DWORD {
    CAN_BOARD_DMA_CONTROL = 0x1000,
    CAN_BOARD_SPI_BRIDGE_CH1 = 0x1044,
    CAN_BOARD_SPI_BRIDGE_CH2 = 0x1054,
    CAN_BOARD_SPI_DATA_CH1 = 0x2000,
    CAN_BOARD_SPI_DATA_CH2 = 0x2010,
    CAN_BOARD_SPI_DATA_SIZE = 16,
    CAN_BOARD_DMA_ENABLE = 0x01,
    CAN_BOARD_SPI_BUSY = 0x01,
    CAN_DMA_BLOCK_SIZE = 64,
};

// SPI instructions and the controller registers the library uses.
enum : unsigned {
    CAN_SPI_WRITE = 0x02,
    CAN_SPI_READ = 0x03,
    CAN_SPI_READ_STATUS = 0xA0,
    CAN_SPI_RX_STATUS = 0xB0,
    CAN_SPI_BIT_MODIFY = 0x05,
    CAN_SPI_RTS = 0x80,

    CAN_REG_BFPCTRL = 0x0C,
    CAN_REG_CANSTAT = 0x0E,
    CAN_REG_CANCTRL = 0x0F,
    CAN_REG_TEC = 0x1C,
    CAN_REG_REC = 0x1D,
    CAN_REG_CNF3 = 0x28,
    CAN_REG_CNF2 = 0x29,
    CAN_REG_CNF1 = 0x2A,
    CAN_REG_CANINTE = 0x2B,
    CAN_REG_CANINTF = 0x2C,
    CAN_REG_EFLG = 0x2D,
    CAN_REG_TXB0CTRL = 0x30,
    CAN_REG_RXB0CTRL = 0x60,
    CAN_REG_RXB1CTRL = 0x70,

    CAN_TXB_SIDH = 1,
    CAN_TXB_SIDL = 2,
    CAN_TXB_EID8 = 3,
    CAN_TXB_EID0 = 4,
    CAN_TXB_DLC = 5,
    CAN_TXB_D0 = 6,

    CAN_TXB_ABTF = 0x40,
    CAN_TXB_TXERR = 0x10,
    CAN_TXB_TXREQ = 0x08,
    CAN_SIDL_EXIDE = 0x08,
    CAN_DLC_RTR = 0x40,

    CAN_MODE_NORMAL = 0,
    CAN_MODE_SLEEP = 1,
    CAN_MODE_LOOPBACK = 2,
    CAN_MODE_LISTEN_ONLY = 3,
    CAN_MODE_CONFIGURATION = 4,
    CAN_MODE_MASK = 0xE0,
};

// Status codes that callers compare: every operation returns CAN_OK for
// success; SetWorkMode returns CAN_MODE_NOT_REACHED for a mode that was
// written but that the controller did not reach. Each operation lists its
// other codes.
enum : int {
    CAN_OK = 1,
    CAN_MODE_NOT_REACHED = 6,
};

// A frame's identifier as a transmit buffer's SIDH, SIDL, EID8 and EID0
// hold it; dwExtId CAN_STANDARD_FRAME for a standard frame (EID8 and EID0
// are then 0). SendData writes these; a caller that writes a buffer's
// registers itself takes them from here.
void CanIdentifierRegisters(unsigned int nStdId, DWORD dwExtId, unsigned char pRegs[4]);

// A DMA block's record, decoded: what ParseRxRecord returns, and whether
// the frame is a remote request.
struct CanRxRecord {
    bool bWaitedForRoom; // the block waited for room in a full DMA queue
    int nChannel;        // 1 or 2
    unsigned int nStamp; // 24-bit microseconds
    int nStdId;
    int nExtId;          // -1 for a standard frame
    bool bRemote;
    int nLength;         // data bytes carried: 0 for a remote request, at most 8
    unsigned char data[8];
};
CanRxRecord CanDecodeRxRecord(const void *pRecord);

// How WriteCanRegs meets the bridge.
enum : unsigned {
    CAN_BRIDGE_WAIT_BEFORE = 1,
    CAN_BRIDGE_WAIT_AFTER = 2,
    CAN_BRIDGE_WAIT_BOTH = 3,
};

// The extended identifier argument of SendData that makes a standard frame.
const DWORD CAN_STANDARD_FRAME = 0xFFFFFFFF;

// Remembered operating modes (CANSTAT & 0xE0), one byte per channel, kept by
// SetConfWorkMode for RestoreWorkMode.
extern unsigned char g_SavedWorkMode[2];

class CCANDeviceEx : public CCANDevice
{
public:
    CCANDeviceEx();
    ~CCANDeviceEx() override;

    // Board registers and memory.
    int ReadReg(unsigned int nAddress, unsigned int *pValue);
    int WriteReg(unsigned int nAddress, unsigned int nValue);
    int ReadMem(unsigned int nAddress, void *pDest, unsigned int nLength);
    int WriteMem(unsigned int nAddress, const void *pSource, unsigned int nLength);

    // Controller registers through the SPI bridge.
    int ReadCanReg(unsigned int nChannel, unsigned int nRegAddress, unsigned int nCount,
                   unsigned char *pDest);
    int WriteCanReg(unsigned int nChannel, unsigned int nRegAddress, unsigned int nLength,
                    const unsigned char *pSource);
    // Consecutive registers in one SPI WRITE (WriteCanReg writes them one
    // transaction each). 1 success; 2 no such channel; 3 a count of 0 or
    // more than the bridge's data buffer; 4 and 5 the bridge could not be
    // read or stayed busy before; 6 the data and 7 the command could not be
    // written; 8 and 9 the bridge could not be read or stayed busy after.
    // nWait: CAN_BRIDGE_WAIT_BEFORE waits for the bridge to be idle before
    // the data is written, CAN_BRIDGE_WAIT_AFTER for the write to end. A
    // caller that alone uses the channel's bridge may leave either to the
    // transaction next to it: one that follows a write it did not wait for
    // must wait before (its 4 or 5 then stand for that write's 8 or 9).
    int WriteCanRegs(unsigned int nChannel, unsigned int nRegAddress, unsigned int nCount,
                     const unsigned char *pSource, unsigned int nWait = CAN_BRIDGE_WAIT_BOTH);
    // The controller's READ STATUS byte (each transmit buffer's TXREQ and
    // TXnIF, each receive buffer's RXnIF) in one SPI transaction. 1 success;
    // 2 no such channel; 4 and 5 before, 7 and 8 after, as ReadCanReg; 6 the
    // command could not be written; 9 the byte could not be read.
    // bWaitBefore false: the caller's own last transaction on the channel
    // was seen to end, and nobody else uses its bridge.
    int ReadCanStatus(unsigned int nChannel, unsigned char *pStatus, bool bWaitBefore = true);
    // RTS: the transmit buffers of nMask (bit n for TXBn) requested at once,
    // each with the priority its control register holds, in one SPI
    // transaction with no data. nWait as WriteCanRegs. 1 success; 2 no such
    // channel; 3 a mask of none or beyond the three buffers; 4 and 5 before,
    // 7 the command could not be written, 8 and 9 after.
    int RequestToSend(unsigned int nChannel, unsigned int nMask, unsigned int nWait = CAN_BRIDGE_WAIT_BOTH);

    // BIT MODIFY: the bits of nMask in a control or status register set to
    // those of nValue, in one SPI transaction (on a register that is not
    // bit-modifiable the controller writes nValue whole). 1 success; 2 no
    // such channel; 4 and 5 before, 6 the mask and value and 7 the command
    // could not be written, 8 and 9 after, as WriteCanRegs.
    int BitModifyCanReg(unsigned int nChannel, unsigned int nRegAddress, unsigned char nMask, unsigned char nValue);
    // The controller's RX STATUS byte (which receive buffers hold a frame,
    // its kind and the filter it matched), as ReadCanStatus.
    int ReadCanRxStatus(unsigned int nChannel, unsigned char *pStatus);

    // Controller configuration.
    int SetWorkMode(unsigned int nChannel, unsigned int nMode);
    int SetConfWorkMode(unsigned int nChannel);
    int RestoreWorkMode(unsigned int nChannel);
    int SetSpeed(unsigned int nChannel, unsigned int nKbps);
    int EnableDMA(unsigned int nSelector);

    // Frame transmission.
    int SendData(unsigned int nChannel, unsigned int nBuffer, unsigned int nPriority,
                 unsigned int nStdId, DWORD dwExtId, const unsigned char *pData,
                 unsigned int nLength);
    int CheckTransmit(unsigned int nChannel, unsigned int nBuffer);
    int EndTransmit(unsigned int nChannel, unsigned int nBuffer);

    // DMA reception.
    int ClearDMA();
    int SetCanonicalDMA();
    int ReadDMABlocks(void *pBuffer, unsigned int nChannel, unsigned int nMaxCount,
                      unsigned int *pCount);
    void ParseRxRecord(const void *pRecord, int *pFlag, int *pChannel,
                       unsigned int *pHeader, int *pStdId, int *pExtId,
                       unsigned char *pData, int *pLength);

private:
    int WaitBridgeIdle(DWORD dwBridge, int nReadFailed, int nStillBusy);
    // A read on an idle bridge: the command, the wait until the bridge is
    // idle again, then nCount bytes from the channel's data buffer. 1, or
    // 6 to 9 for the step that failed.
    int ReadTransaction(unsigned int nChannel, DWORD dwBridge, unsigned int nCommand, unsigned char *pDest,
                        unsigned int nCount);
    // A write on an idle bridge: nCount bytes into the channel's data
    // buffer, the command, then (unless bWaitAfter is false) the wait until
    // the bridge is idle again. 1, or 6 to 9 for the step that failed.
    int WriteTransaction(unsigned int nChannel, DWORD dwBridge, unsigned int nCommand,
                         const unsigned char *pSource, unsigned int nCount, bool bWaitAfter = true);
    int ReadCanByte(unsigned int nChannel, unsigned int nRegAddress, unsigned char *pValue);
    int WriteCanByte(unsigned int nChannel, unsigned int nRegAddress, unsigned char nValue);

    CRITICAL_SECTION m_SendLock;
};

#endif
