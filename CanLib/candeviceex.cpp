#include "candeviceex.h"

#include <cassert>
#include <cstring>
#include <new>

unsigned char g_SavedWorkMode[2] = {0, 0};

namespace {

const DWORD kMemoryRequestHeader = 12; // reserved word, address, length
const int kMemoryAttempts = 5;
const int kBridgePolls = 100;
const int kModePolls = 10;

struct SpeedSetting {
    unsigned int kbps;
    unsigned char cnf1;
    unsigned char cnf2;
    unsigned char cnf3;
};

const SpeedSetting kSpeeds[] = {
    {1000, 0x00, 0xD1, 0x03},
    {500, 0x01, 0xD1, 0x03},
    {250, 0x03, 0xD1, 0x03},
    {125, 0x04, 0xB1, 0x05},
};

bool IsChannel(unsigned int nChannel)
{
    return nChannel == 1 || nChannel == 2;
}

DWORD BridgeRegister(unsigned int nChannel)
{
    return nChannel == 1 ? CAN_BOARD_SPI_BRIDGE_CH1 : CAN_BOARD_SPI_BRIDGE_CH2;
}

DWORD DataBuffer(unsigned int nChannel)
{
    return nChannel == 1 ? CAN_BOARD_SPI_DATA_CH1 : CAN_BOARD_SPI_DATA_CH2;
}

void PutWord(unsigned char *pBytes, DWORD dwValue)
{
    pBytes[0] = static_cast<unsigned char>(dwValue);
    pBytes[1] = static_cast<unsigned char>(dwValue >> 8);
    pBytes[2] = static_cast<unsigned char>(dwValue >> 16);
    pBytes[3] = static_cast<unsigned char>(dwValue >> 24);
}

} // namespace

CCANDeviceEx::CCANDeviceEx()
{
    InitializeCriticalSection(&m_SendLock);
}

CCANDeviceEx::~CCANDeviceEx()
{
    DeleteCriticalSection(&m_SendLock);
}

int CCANDeviceEx::ReadReg(unsigned int nAddress, unsigned int *pValue)
{
    assert(IsOpen());
    unsigned char in[4];
    unsigned char out[4] = {0, 0, 0, 0};
    PutWord(in, nAddress);
    DWORD dwReturned = 0;
    if (!IoControl(IOCTL_CAN_READ_REG, in, sizeof(in), out, sizeof(out), &dwReturned, INFINITE))
        return 0;
    *pValue = static_cast<unsigned int>(out[0]) | (static_cast<unsigned int>(out[1]) << 8) |
              (static_cast<unsigned int>(out[2]) << 16) |
              (static_cast<unsigned int>(out[3]) << 24);
    return 1;
}

int CCANDeviceEx::WriteReg(unsigned int nAddress, unsigned int nValue)
{
    assert(IsOpen());
    unsigned char in[8];
    PutWord(in, nAddress);
    PutWord(in + 4, nValue);
    DWORD dwReturned = 0;
    return IoControl(IOCTL_CAN_WRITE_REG, in, sizeof(in), NULL, 0, &dwReturned, INFINITE) ? 1 : 0;
}

int CCANDeviceEx::ReadMem(unsigned int nAddress, void *pDest, unsigned int nLength)
{
    assert(IsOpen());
    unsigned char in[kMemoryRequestHeader];
    for (int attempt = 0; attempt < kMemoryAttempts; ++attempt) {
        if (attempt >= 2)
            Sleep(1);
        PutWord(in, 0);
        PutWord(in + 4, nAddress);
        PutWord(in + 8, nLength);
        DWORD dwReturned = 0;
        if (IoControl(IOCTL_CAN_READ_MEM, in, sizeof(in), pDest, nLength, &dwReturned, INFINITE) &&
            dwReturned == nLength)
            return 1;
    }
    return 0;
}

int CCANDeviceEx::WriteMem(unsigned int nAddress, const void *pSource, unsigned int nLength)
{
    assert(IsOpen());
    // The request carries its 12-byte header and the data in one buffer whose
    // size must be a 32-bit count.
    if (nLength > 0xFFFFFFFFu - kMemoryRequestHeader)
        return 0;
    const DWORD dwSize = kMemoryRequestHeader + nLength;
    unsigned char *pRequest = new (std::nothrow) unsigned char[dwSize];
    if (pRequest == NULL)
        return 0;

    int nResult = 0;
    for (int attempt = 0; attempt < kMemoryAttempts && !nResult; ++attempt) {
        if (attempt >= 2)
            Sleep(1);
        PutWord(pRequest, 0);
        PutWord(pRequest + 4, nAddress);
        PutWord(pRequest + 8, nLength);
        if (nLength != 0)
            std::memcpy(pRequest + kMemoryRequestHeader, pSource, nLength);
        DWORD dwReturned = 0;
        if (IoControl(IOCTL_CAN_WRITE_MEM, pRequest, dwSize, NULL, 0, &dwReturned, INFINITE) &&
            dwReturned == 0)
            nResult = 1;
    }
    delete[] pRequest;
    return nResult;
}

int CCANDeviceEx::WaitBridgeIdle(DWORD dwBridge, int nReadFailed, int nStillBusy)
{
    for (int poll = 0; poll < kBridgePolls; ++poll) {
        unsigned int nStatus = 0;
        if (!ReadReg(dwBridge, &nStatus))
            return nReadFailed;
        if ((nStatus & CAN_BOARD_SPI_BUSY) == 0)
            return 1;
    }
    return nStillBusy;
}

int CCANDeviceEx::ReadCanReg(unsigned int nChannel, unsigned int nRegAddress, unsigned int nCount,
                             unsigned char *pDest)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    // A count of 0 would put all ones into the command's count field.
    if (nCount == 0 || nCount > CAN_BOARD_SPI_DATA_SIZE)
        return 3;

    const DWORD dwBridge = BridgeRegister(nChannel);
    int nStatus = WaitBridgeIdle(dwBridge, 4, 5);
    if (nStatus != 1)
        return nStatus;
    const unsigned int nCommand = ((nRegAddress & 0xFF) << 24) | ((nCount - 1) << 16) | CAN_SPI_READ;
    return ReadTransaction(nChannel, dwBridge, nCommand, pDest, nCount);
}

int CCANDeviceEx::WriteCanReg(unsigned int nChannel, unsigned int nRegAddress, unsigned int nLength,
                              const unsigned char *pSource)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    if (nLength > CAN_BOARD_SPI_DATA_SIZE)
        return 3;

    const DWORD dwBridge = BridgeRegister(nChannel);
    int nStatus = WaitBridgeIdle(dwBridge, 4, 5);
    if (nStatus != 1)
        return nStatus;
    for (unsigned int i = 0; i < nLength; ++i) {
        const unsigned int nCommand = (((nRegAddress + i) & 0xFF) << 24) | CAN_SPI_WRITE;
        nStatus = WriteTransaction(nChannel, dwBridge, nCommand, pSource + i, 1);
        if (nStatus != 1)
            return nStatus;
    }
    return 1;
}

int CCANDeviceEx::WriteCanRegs(unsigned int nChannel, unsigned int nRegAddress, unsigned int nCount,
                               const unsigned char *pSource, unsigned int nWait)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    if (nCount == 0 || nCount > CAN_BOARD_SPI_DATA_SIZE)
        return 3;

    const DWORD dwBridge = BridgeRegister(nChannel);
    int nStatus = (nWait & CAN_BRIDGE_WAIT_BEFORE) ? WaitBridgeIdle(dwBridge, 4, 5) : 1;
    if (nStatus != 1)
        return nStatus;
    const unsigned int nCommand = ((nRegAddress & 0xFF) << 24) | ((nCount - 1) << 16) | CAN_SPI_WRITE;
    return WriteTransaction(nChannel, dwBridge, nCommand, pSource, nCount, (nWait & CAN_BRIDGE_WAIT_AFTER) != 0);
}

int CCANDeviceEx::RequestToSend(unsigned int nChannel, unsigned int nMask, unsigned int nWait)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    if (nMask == 0 || nMask > 7)
        return 3;
    const DWORD dwBridge = BridgeRegister(nChannel);
    const int nStatus = (nWait & CAN_BRIDGE_WAIT_BEFORE) ? WaitBridgeIdle(dwBridge, 4, 5) : 1;
    if (nStatus != 1)
        return nStatus;
    if (!WriteReg(dwBridge, CAN_SPI_RTS | nMask))
        return 7;
    return (nWait & CAN_BRIDGE_WAIT_AFTER) ? WaitBridgeIdle(dwBridge, 8, 9) : 1;
}

int CCANDeviceEx::ReadCanStatus(unsigned int nChannel, unsigned char *pStatus, bool bWaitBefore)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;

    const DWORD dwBridge = BridgeRegister(nChannel);
    int nStatus = bWaitBefore ? WaitBridgeIdle(dwBridge, 4, 5) : 1;
    if (nStatus != 1)
        return nStatus;
    return ReadTransaction(nChannel, dwBridge, CAN_SPI_READ_STATUS, pStatus, 1);
}

int CCANDeviceEx::BitModifyCanReg(unsigned int nChannel, unsigned int nRegAddress, unsigned char nMask,
                                  unsigned char nValue)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    const DWORD dwBridge = BridgeRegister(nChannel);
    const int nStatus = WaitBridgeIdle(dwBridge, 4, 5);
    if (nStatus != 1)
        return nStatus;
    const unsigned char data[2] = {nMask, nValue};
    const unsigned int nCommand = ((nRegAddress & 0xFF) << 24) | (1u << 16) | CAN_SPI_BIT_MODIFY;
    return WriteTransaction(nChannel, dwBridge, nCommand, data, 2);
}

int CCANDeviceEx::ReadCanRxStatus(unsigned int nChannel, unsigned char *pStatus)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    const DWORD dwBridge = BridgeRegister(nChannel);
    const int nStatus = WaitBridgeIdle(dwBridge, 4, 5);
    if (nStatus != 1)
        return nStatus;
    return ReadTransaction(nChannel, dwBridge, CAN_SPI_RX_STATUS, pStatus, 1);
}

int CCANDeviceEx::ReadTransaction(unsigned int nChannel, DWORD dwBridge, unsigned int nCommand,
                                  unsigned char *pDest, unsigned int nCount)
{
    if (!WriteReg(dwBridge, nCommand))
        return 6;
    const int nStatus = WaitBridgeIdle(dwBridge, 7, 8);
    if (nStatus != 1)
        return nStatus;
    if (!ReadMem(DataBuffer(nChannel), pDest, nCount))
        return 9;
    return 1;
}

int CCANDeviceEx::WriteTransaction(unsigned int nChannel, DWORD dwBridge, unsigned int nCommand,
                                   const unsigned char *pSource, unsigned int nCount, bool bWaitAfter)
{
    if (!WriteMem(DataBuffer(nChannel), pSource, nCount))
        return 6;
    if (!WriteReg(dwBridge, nCommand))
        return 7;
    return bWaitAfter ? WaitBridgeIdle(dwBridge, 8, 9) : 1;
}

int CCANDeviceEx::ReadCanByte(unsigned int nChannel, unsigned int nRegAddress,
                              unsigned char *pValue)
{
    return ReadCanReg(nChannel, nRegAddress, 1, pValue);
}

int CCANDeviceEx::WriteCanByte(unsigned int nChannel, unsigned int nRegAddress,
                               unsigned char nValue)
{
    return WriteCanReg(nChannel, nRegAddress, 1, &nValue);
}

int CCANDeviceEx::SetWorkMode(unsigned int nChannel, unsigned int nMode)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    if (nMode > CAN_MODE_CONFIGURATION)
        return 3;
    if (WriteCanByte(nChannel, CAN_REG_CANCTRL, static_cast<unsigned char>(nMode << 5)) != 1)
        return 4;
    for (int round = 0; round < kModePolls; ++round) {
        Sleep(1);
        unsigned char nStat = 0;
        if (ReadCanByte(nChannel, CAN_REG_CANSTAT, &nStat) != 1)
            return 5;
        if ((nStat >> 5) == nMode)
            return 1;
    }
    return CAN_MODE_NOT_REACHED;
}

int CCANDeviceEx::SetConfWorkMode(unsigned int nChannel)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    g_SavedWorkMode[0] = 0;
    g_SavedWorkMode[1] = 0;
    unsigned char nStat = 0;
    if (ReadCanByte(nChannel, CAN_REG_CANSTAT, &nStat) != 1)
        return 3;
    if ((nStat & CAN_MODE_MASK) == (CAN_MODE_CONFIGURATION << 5))
        return 4;
    g_SavedWorkMode[nChannel - 1] = static_cast<unsigned char>(nStat & CAN_MODE_MASK);
    if (WriteCanByte(nChannel, CAN_REG_CANCTRL, CAN_MODE_CONFIGURATION << 5) != 1)
        return 5;
    for (int round = 0; round < kModePolls; ++round) {
        Sleep(1);
        if (ReadCanByte(nChannel, CAN_REG_CANSTAT, &nStat) != 1)
            return 6;
        if (nStat == (CAN_MODE_CONFIGURATION << 5))
            return 1;
    }
    return 7;
}

int CCANDeviceEx::RestoreWorkMode(unsigned int nChannel)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    unsigned char nStat = 0;
    if (ReadCanByte(nChannel, CAN_REG_CANSTAT, &nStat) != 1)
        return 3;
    if ((nStat & CAN_MODE_MASK) != (CAN_MODE_CONFIGURATION << 5))
        return 4;
    const unsigned char nSaved = g_SavedWorkMode[nChannel - 1];
    g_SavedWorkMode[nChannel - 1] = 0;
    if (WriteCanByte(nChannel, CAN_REG_CANCTRL, nSaved) != 1)
        return 5;
    return 1;
}

int CCANDeviceEx::SetSpeed(unsigned int nChannel, unsigned int nKbps)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    unsigned char nStat = 0;
    if (ReadCanByte(nChannel, CAN_REG_CANSTAT, &nStat) != 1)
        return 5;
    if ((nStat & CAN_MODE_MASK) != (CAN_MODE_CONFIGURATION << 5))
        return 4;
    const SpeedSetting *pSpeed = NULL;
    for (const SpeedSetting &speed : kSpeeds) {
        if (speed.kbps == nKbps)
            pSpeed = &speed;
    }
    if (pSpeed == NULL)
        return 3;
    if (WriteCanByte(nChannel, CAN_REG_CNF3, pSpeed->cnf3) != 1 ||
        WriteCanByte(nChannel, CAN_REG_CNF2, pSpeed->cnf2) != 1 ||
        WriteCanByte(nChannel, CAN_REG_CNF1, pSpeed->cnf1) != 1)
        return 5;
    return 1;
}

int CCANDeviceEx::EnableDMA(unsigned int nSelector)
{
    assert(IsOpen());
    if (nSelector > 2)
        return 3;
    const unsigned char nPins = 0x0F;
    if (nSelector != 2 && WriteCanByte(1, CAN_REG_BFPCTRL, nPins) != 1)
        return 2;
    if (nSelector != 1 && WriteCanByte(2, CAN_REG_BFPCTRL, nPins) != 1)
        return 2;
    unsigned int nControl = 0;
    if (!ReadReg(CAN_BOARD_DMA_CONTROL, &nControl))
        return 4;
    if (!WriteReg(CAN_BOARD_DMA_CONTROL, nControl | CAN_BOARD_DMA_ENABLE))
        return 4;
    return 1;
}

void CanIdentifierRegisters(unsigned int nStdId, DWORD dwExtId, unsigned char pRegs[4])
{
    const bool bStandard = dwExtId == CAN_STANDARD_FRAME;
    pRegs[0] = static_cast<unsigned char>(nStdId >> 3);
    pRegs[1] = static_cast<unsigned char>(((nStdId & 7) << 5) |
                                          (bStandard ? 0 : CAN_SIDL_EXIDE | ((dwExtId >> 16) & 3)));
    pRegs[2] = bStandard ? 0 : static_cast<unsigned char>((dwExtId >> 8) & 0xFF);
    pRegs[3] = bStandard ? 0 : static_cast<unsigned char>(dwExtId & 0xFF);
}

int CCANDeviceEx::SendData(unsigned int nChannel, unsigned int nBuffer, unsigned int nPriority,
                           unsigned int nStdId, DWORD dwExtId, const unsigned char *pData,
                           unsigned int nLength)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    if (nStdId > 0x7FF)
        return 3;

    EnterCriticalSection(&m_SendLock);
    int nResult = 1;
    const unsigned int nBase = CAN_REG_TXB0CTRL + 0x10 * nBuffer;
    if (nBuffer > 2) {
        nResult = 4;
    } else if (nPriority > 3) {
        nResult = 5;
    } else if (nLength > 8) {
        nResult = 6;
    } else {
        bool bWritten = true;
        if (nLength == 0) {
            const unsigned char remote[4] = {CAN_DLC_RTR, 0, 0, 0};
            bWritten = WriteCanReg(nChannel, nBase + CAN_TXB_DLC, 4, remote) == 1;
        } else {
            bWritten = WriteCanReg(nChannel, nBase + CAN_TXB_D0, nLength, pData) == 1 &&
                       WriteCanByte(nChannel, nBase + CAN_TXB_DLC,
                                    static_cast<unsigned char>(nLength)) == 1;
        }
        unsigned char regs[4]; // SIDH, SIDL, EID8, EID0
        CanIdentifierRegisters(nStdId, dwExtId, regs);
        if (!bWritten) {
            nResult = 8;
        } else if (dwExtId == CAN_STANDARD_FRAME) {
            if (WriteCanByte(nChannel, nBase + CAN_TXB_SIDL, regs[1]) != 1)
                nResult = 8;
        } else if (dwExtId > 0x3FFFF) {
            nResult = 7;
        } else if (WriteCanByte(nChannel, nBase + CAN_TXB_EID0, regs[3]) != 1 ||
                   WriteCanByte(nChannel, nBase + CAN_TXB_EID8, regs[2]) != 1 ||
                   WriteCanByte(nChannel, nBase + CAN_TXB_SIDL, regs[1]) != 1) {
            nResult = 8;
        }
        if (nResult == 1 &&
            (WriteCanByte(nChannel, nBase + CAN_TXB_SIDH, regs[0]) != 1 ||
             WriteCanByte(nChannel, nBase,
                          static_cast<unsigned char>(CAN_TXB_TXREQ | nPriority)) != 1))
            nResult = 8;
    }
    LeaveCriticalSection(&m_SendLock);
    return nResult;
}

int CCANDeviceEx::CheckTransmit(unsigned int nChannel, unsigned int nBuffer)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    if (nBuffer > 2)
        return 3;
    unsigned char nCtrl = 0;
    if (ReadCanByte(nChannel, CAN_REG_TXB0CTRL + 0x10 * nBuffer, &nCtrl) != 1)
        return 4;
    if (nCtrl & CAN_TXB_ABTF)
        return 5;
    if (nCtrl & CAN_TXB_TXERR)
        return 6;
    if (nCtrl & CAN_TXB_TXREQ)
        return 7;
    return 1;
}

int CCANDeviceEx::EndTransmit(unsigned int nChannel, unsigned int nBuffer)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 2;
    if (nBuffer > 2)
        return 3;
    const unsigned int nCtrlAddress = CAN_REG_TXB0CTRL + 0x10 * nBuffer;
    unsigned char nCtrl = 0;
    if (ReadCanByte(nChannel, nCtrlAddress, &nCtrl) != 1)
        return 4;
    if (WriteCanByte(nChannel, nCtrlAddress, static_cast<unsigned char>(nCtrl & ~CAN_TXB_TXREQ)) !=
        1)
        return 5;
    return 1;
}

int CCANDeviceEx::ClearDMA()
{
    assert(IsOpen());
    DWORD dwReturned = 0;
    return IoControl(IOCTL_CAN_CLEAR_DMA, NULL, 0, NULL, 0, &dwReturned, INFINITE) ? 1 : 0;
}

int CCANDeviceEx::SetCanonicalDMA()
{
    assert(IsOpen());
    DWORD dwReturned = 0;
    return IoControl(IOCTL_CAN_SET_CANONICAL_DMA, NULL, 0, NULL, 0, &dwReturned, INFINITE) ? 1 : 0;
}

int CCANDeviceEx::ReadDMABlocks(void *pBuffer, unsigned int nChannel, unsigned int nMaxCount,
                                unsigned int *pCount)
{
    assert(IsOpen());
    if (!IsChannel(nChannel))
        return 3;
    // The output size is a 32-bit byte count.
    if (nMaxCount > 0xFFFFFFFFu / CAN_DMA_BLOCK_SIZE)
        return 4;
    unsigned char in[8];
    PutWord(in, nMaxCount);
    PutWord(in + 4, nChannel);
    DWORD dwReturned = 0;
    if (!IoControl(IOCTL_CAN_READ_DMA_BLOCKS, in, sizeof(in), pBuffer,
                   nMaxCount * CAN_DMA_BLOCK_SIZE, &dwReturned, INFINITE))
        return 2;
    *pCount = dwReturned / CAN_DMA_BLOCK_SIZE;
    return 1;
}

// Receive record at the start of a 64-byte DMA block:
//   byte 0     bit 0 flag, bit 1 channel (0: channel 1, 1: channel 2)
//   bytes 1-3  24-bit header value, least significant byte first
//   bytes 4-17 RXBnCTRL, SIDH, SIDL, EID8, EID0, DLC, D0..D7
CanRxRecord CanDecodeRxRecord(const void *pRecord)
{
    const unsigned char *pBytes = static_cast<const unsigned char *>(pRecord);
    CanRxRecord record = {};
    record.bWaitedForRoom = (pBytes[0] & 1) != 0;
    record.nChannel = ((pBytes[0] >> 1) & 1) + 1;
    record.nStamp = static_cast<unsigned int>(pBytes[1]) | (static_cast<unsigned int>(pBytes[2]) << 8) |
                    (static_cast<unsigned int>(pBytes[3]) << 16);

    const unsigned char nSidh = pBytes[5];
    const unsigned char nSidl = pBytes[6];
    const unsigned char nEid8 = pBytes[7];
    const unsigned char nEid0 = pBytes[8];
    const unsigned char nDlc = pBytes[9];
    record.nStdId = (nSidh << 3) | (nSidl >> 5);
    record.nExtId = (nSidl & CAN_SIDL_EXIDE) ? ((nSidl & 3) << 16) | (nEid8 << 8) | nEid0 : -1;
    record.bRemote = (nDlc & CAN_DLC_RTR) != 0;
    if (record.bRemote)
        return record;
    // A DLC of 9 to 15 still carries 8 bytes on the bus.
    record.nLength = (nDlc & 0x0F) > 8 ? 8 : (nDlc & 0x0F);
    std::memcpy(record.data, pBytes + 10, static_cast<size_t>(record.nLength));
    return record;
}

void CCANDeviceEx::ParseRxRecord(const void *pRecord, int *pFlag, int *pChannel,
                                 unsigned int *pHeader, int *pStdId, int *pExtId,
                                 unsigned char *pData, int *pLength)
{
    assert(IsOpen());
    const CanRxRecord record = CanDecodeRxRecord(pRecord);
    *pFlag = record.bWaitedForRoom ? 1 : 0;
    *pChannel = record.nChannel;
    *pHeader = record.nStamp;
    *pStdId = record.nStdId;
    *pExtId = record.nExtId;
    *pLength = record.nLength;
    // The caller's data area keeps what it held beyond the bytes carried.
    std::memcpy(pData, record.data, static_cast<size_t>(record.nLength));
}
