#pragma once
// The classic byte protocol spoken to a main kernel in target RAM: identity,
// liveness, erase, blank check, read, write-and-verify, module and function
// map downloads and the end of a connection. The device decides what to do;
// the channel carries the bytes with its time-outs.
#include <atomic>

#include "comms/FLASHComms.h"
#include "platform/StatusUpdate.h"
#include "platform/String.h"
#include "platform/Types.h"
#include "protocol/FLASHProtocolDevice.h"

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

    // Protocol B bytes.
    static constexpr BYTE kAck = 0x06;
    static constexpr BYTE kLineSizeInquiry = 0x27;
    static constexpr BYTE kLineSizeReply = 0x37;
    static constexpr BYTE kMainKernelRequest = 0x40;
    static constexpr BYTE kWriteModuleRequest = 0x43;
    static constexpr BYTE kEraseModuleRequest = 0x48;
    static constexpr BYTE kBlankCheckB = 0x4D;
    static constexpr BYTE kStatusInquiry = 0x4F;
    static constexpr BYTE kWriteLine = 0x50;
    static constexpr BYTE kReadB = 0x52;
    static constexpr BYTE kEraseBlockB = 0x58;
    static constexpr BYTE kWriteModuleError = 0xC3;
    static constexpr BYTE kEraseModuleError = 0xC8;
    static constexpr BYTE kNotBlank = 0xCD;
    static constexpr BYTE kWriteError = 0xD0;
    static constexpr BYTE kReadError = 0xD2;
    static constexpr BYTE kEraseError = 0xD8;
    // Boot-program status values.
    static constexpr BYTE kStatusEraseModule = 2;
    static constexpr BYTE kStatusWriteModule = 4;
    // Block numbers stop short of the end-of-erase marker 0xFF.
    static constexpr int kLastBlockNumber = 254;

    // Each erase poll after the first wait may take this long.
    static constexpr int kErasePollSeconds = 20;
    static constexpr unsigned long kReadChunk = 32;
    static constexpr int kReadRetries = 20;
    // Reads started again from a known address after a lost acknowledge.
    static constexpr int kReadRestarts = 3;

    CFLASHProtocol(CFLASHProtocolDevice* pDevice, CFLASHComms* pComms);
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
    // Protocol B: framed commands closed by a sum check, answered by an
    // acknowledge or an error reply and code.
    virtual bool RequestLineSize(unsigned short& lineSize);
    // function is fnWrite or fnErase.
    virtual bool DownloadFunction_ProtocolB(int function, unsigned long length, unsigned char* pCode);
    // padding is not sent: the last line of a range is simply shorter.
    virtual bool WriteVerifyFLASHData_ProtocolB(unsigned long start, unsigned long length, unsigned char* pData,
                                                unsigned long padding);
    virtual bool ReadData_ProtocolB(unsigned long start, unsigned long length, unsigned char* pBuffer);
    // pStatus may be null.
    virtual bool RequestBootProgramStatus(unsigned char* pStatus);
    virtual bool EraseFLASHBlock_ProtocolB(int block, int count);
    // The boot program always checks the whole user FLASH: the range is not sent.
    virtual bool BlankCheck_ProtocolB(bool* pBlank, unsigned long start, unsigned long length);
    virtual bool EraseFLASHBlock_End();

    // Takes and drops what a cancelled wait left the target still to send,
    // before anything else is asked; false when a cancel ended this wait too.
    bool SettleOwedAnswer();

    CFLASHComms* GetFLASHComms() const { return m_pComms; }
    BYTE GetLastCommand() const { return m_byLastCommand; }
    bool IsCancelled() const { return m_bCancelled.load(); }

    // Fewest bytes (1 to 4) that hold a read or write length.
    static int LengthWidth(unsigned long length);
    // The text shown for an error code after the error reply (0xD0, 0xD2 or
    // 0xD8); empty for code 0.
    static CString ErrorCodeText(BYTE errorReply, BYTE code);

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
    // The identity request of a kernel started in USER mode.
    bool ReadUserModeDeviceID(unsigned char identifier);
    // The classic read: the 1K variant places its read module once the
    // command is out, before the data phase.
    bool ReadTransfer(unsigned long start, unsigned long length, unsigned char* pBuffer, bool bPlaceModule);
    enum eReadEnd
    {
        reDone,
        reFailed,
        reOutOfStep, // the kernel may be a chunk behind the host
        reBadSum,    // a Protocol B reply that does not add up to 0
    };
    // One Protocol B read frame and its reply.
    eReadEnd ReadReply_ProtocolB(unsigned long start, unsigned long length, unsigned char* pBuffer);
    // One read command and its data phase; *pDone counts the bytes taken.
    // bDoubtful: the line may still carry bytes of an abandoned read, so the
    // first chunk is taken only when a second copy agrees.
    eReadEnd ReadChunks(unsigned long start, unsigned long length, unsigned char* pBuffer, bool bPlaceModule,
                        bool bDoubtful, unsigned long* pDone);
    // After a request to send again: whether a whole copy behind the chunk
    // just taken (asked for when none came by itself) holds the same bytes.
    bool CopyAgrees(const unsigned char* pChunk, unsigned long chunk);
    void DrainLine();
    // Takes what the kernel still owes of the chunks asked for (each request
    // is answered with one whole chunk) when bWait, then waits for the line
    // to fall quiet.
    void DrainOwed(bool bWait);
    // One more chunk asked for: the next of what remains, at most 32 bytes.
    void AwaitChunkOf(unsigned long remaining);
    // The classic write: the 1K variant places its write module once the
    // command is out and sends the data a byte at a time, the padding after
    // the last chunk.
    bool WriteTransfer(unsigned long start, unsigned long length, unsigned char* pData, unsigned long padding,
                       bool bPlaceModule);
    // The command byte with the length's width, the length and the start.
    bool SendTransferCommand(BYTE base, unsigned long length, unsigned long start);
    void BeginRead(unsigned long length);
    void ReportReadTimeOut();
    // False (after a message) when the device has no buffer for the data.
    bool HasWriteBuffer(unsigned long length);
    bool SendChunk(const BYTE* pData, unsigned long nCount, unsigned long padding, bool bByteWise);
    // The kernel's reply to a written chunk; false (after a message where
    // there is one) unless it took the chunk.
    bool ChunkTaken(int nWait, bool bPlainRead);
    // The identity request and reply, with the identifier echoed; detached
    // again when no reply came.
    bool RequestIdentity(unsigned char identifier);
    // A kernel of the other mode: warns, detaches and marks the device.
    void RefuseKernel(const char* pszWarning);
    // The erase command's range and, where the device has them, its erase block registers.
    void SendEraseRange(unsigned long start, unsigned long end, const unsigned char* pEBR);
    // The classic blank check from the range on: both fields, then the answer.
    bool BlankCheckRange(bool* pBlank, unsigned long start, unsigned long length);
    // Sends bytes and adds them to the frame sum.
    bool SendSummed(const BYTE* pBytes, unsigned long nCount, BYTE* pSum);
    // One answer byte within nSeconds; false when none came.
    bool WaitForAnswer(BYTE* pAnswer, int nSeconds);
    // After an error reply: reads the code and shows its text. False when the
    // code could not be read.
    bool ReadErrorCode(BYTE errorReply, BYTE* pCode);
    // One erase frame and its answer.
    bool SendEraseFrame(BYTE count, BYTE block);
    void ReportUnexpected(BYTE answer, const char* pszCommand);
    // Answers of nCount bytes, each due within nSeconds, that a cancel left unread.
    void OweAnswers(int nCount, int nSeconds);

    CFLASHComms* m_pComms = nullptr;
    CFLASHProtocolDevice* m_pDevice = nullptr;
    CFLASHDeviceID* m_pDeviceID = nullptr;
    BYTE m_byLastCommand = 0;
    long m_nReadOwed = 0; // bytes of the classic read's chunks asked for and not yet come
    std::atomic<bool> m_bCancelled{false};
    // Left by a cancelled wait: an erase's answer (after its polls) and single answer bytes.
    bool m_bEraseOwed = false;
    int m_nOwedAnswers = 0;
    int m_nOwedSeconds = 0;
};

// For kernels started in USER mode: the identity reply carries the RAM top.
class CFLASHUserModeProtocol : public CFLASHProtocol
{
public:
    CFLASHUserModeProtocol(CFLASHProtocolDevice* pDevice, CFLASHComms* pComms) : CFLASHProtocol(pDevice, pComms) {}
    bool ReadDeviceID(unsigned char identifier) override;
};
