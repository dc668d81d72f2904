#pragma once
// The classic byte protocol spoken to a main kernel in target RAM: identity,
// liveness, erase, blank check, read, write-and-verify, module and function
// map downloads and the end of a connection. The device decides what to do;
// the channel carries the bytes with its time-outs.
#include <atomic>

#include "comms/FLASHComms.h"
#include "operations/StatusUpdate.h"
#include "platform/String.h"
#include "platform/Types.h"

class CFLASHDevice;
class CFLASHDeviceID;
class CFLASHFunctionMap;

class CFLASHProtocol : public CStatusUpdate
{
public:
    // Command bytes.
    static constexpr BYTE kErase = 0x03;
    static constexpr BYTE kBlankCheck = 0x05;
    static constexpr BYTE kIdentity = 0x09;
    static constexpr BYTE kHandshake = 0x0A;
    static constexpr BYTE kEnd = 0x0B;
    static constexpr BYTE kWriteBase = 0x02;
    static constexpr BYTE kReadBase = 0x04;
    static constexpr BYTE kModuleShort = 0x28;
    static constexpr BYTE kModuleLong = 0x48;
    static constexpr BYTE kFunctionMap = 0x38;
    static constexpr BYTE kChunkOK = 0x00;
    static constexpr BYTE kChunkAgain = 0x01; // read: send again; write: continue
    static constexpr BYTE kAbort = 0xFF;
    static constexpr BYTE kResetTarget = 0x55;
    // Kernel replies.
    static constexpr BYTE kEraseRunning = 0x29;
    static constexpr BYTE kEraseDone = 0x24;
    static constexpr BYTE kEraseFailed = 0x30;
    static constexpr BYTE kBlank = 0x26;
    static constexpr BYTE kWriteVerified = 0x00;
    static constexpr BYTE kWriteAccepted = 0x10;
    static constexpr BYTE kWriteFailed = 0x23;

    static constexpr unsigned long kReadChunk = 32;
    static constexpr int kReadRetries = 20;

    CFLASHProtocol(CFLASHDevice* pDevice, CFLASHComms* pComms);
    CFLASHProtocol(const CFLASHProtocol&) = delete;
    CFLASHProtocol& operator=(const CFLASHProtocol&) = delete;
    ~CFLASHProtocol() override = default;

    virtual void SetFLASHComms(CFLASHComms* pComms) { m_pComms = pComms; }
    virtual bool Disconnect(bool bReset);
    // May come from another thread: only raises the flag.
    virtual void Cancel();
    virtual bool IsReallyConnected(unsigned char identifier);
    virtual bool EraseFLASHBlock(unsigned long start, unsigned long end, const unsigned char* pEBR);
    virtual bool BlankCheck(bool* pBlank, unsigned long start, unsigned long length);
    virtual bool ReadData(unsigned long start, unsigned long length, unsigned char* pBuffer);
    virtual bool WriteVerifyFLASHData(unsigned long start, unsigned long length, unsigned char* pData,
                                      unsigned long padding, int nUnused);
    virtual bool DownloadFunctionMap(CFLASHFunctionMap* pMap, unsigned char count, unsigned short bufferAddress,
                                     unsigned short bufferSize);
    virtual bool DownloadFunction(unsigned short address, unsigned short length, unsigned char* pCode);
    virtual bool ReadDeviceID(unsigned char identifier);
    // Protocol B and later generations: not available in this build yet; each
    // reports so and returns false.
    virtual bool RequestLineSize();
    virtual bool DownloadFunction_ProtocolB(unsigned short address, unsigned short length, unsigned char* pCode);
    virtual bool WriteVerifyFLASHData_ProtocolB(unsigned long start, unsigned long length, unsigned char* pData,
                                                unsigned long padding, int nUnused);
    virtual bool ReadData_ProtocolB(unsigned long start, unsigned long length, unsigned char* pBuffer);
    virtual bool RequestBootProgramStatus();
    virtual bool EraseFLASHBlock_ProtocolB(unsigned long start, unsigned long end, const unsigned char* pEBR);
    virtual bool BlankCheck_ProtocolB(bool* pBlank, unsigned long start, unsigned long length);
    virtual bool EraseFLASHBlock_End();

    CFLASHComms* GetFLASHComms() const { return m_pComms; }
    BYTE GetLastCommand() const { return m_byLastCommand; }
    bool IsCancelled() const { return m_bCancelled.load(); }

    // Fewest bytes (1 to 4) that hold a read or write length.
    static int LengthWidth(unsigned long length);
    // "%d Bytes", "%d K" or "%4.2f K".
    static CString SizeText(unsigned long length);

protected:
    // Routes the channel's messages through this object, and back again.
    void Attach();
    void Detach();
    // value in nWidth bytes, most significant first.
    bool SendField(unsigned long value, int nWidth);
    bool SendByte(BYTE by);
    // The end of an identity exchange: handshake out, the kernel's handshake
    // byte in and kept, then the identifier echoed.
    bool ExchangeHandshake(BYTE identifier);
    bool NotAvailable(const char* pszOperation);

    CFLASHComms* m_pComms = nullptr;
    CFLASHDevice* m_pDevice = nullptr;
    CFLASHDeviceID* m_pDeviceID = nullptr;
    BYTE m_byLastCommand = 0;
    std::atomic<bool> m_bCancelled{false};
};

// For kernels started in USER mode: the identity reply carries the RAM top.
class CFLASHUserModeProtocol : public CFLASHProtocol
{
public:
    CFLASHUserModeProtocol(CFLASHDevice* pDevice, CFLASHComms* pComms) : CFLASHProtocol(pDevice, pComms) {}
    bool ReadDeviceID(unsigned char identifier) override;
};
