#pragma once
// The Protocol B boot program, which takes the line over once the micro-kernel
// is in. Its commands are frames that end in a sum-check byte (all bytes of the
// frame and the sum add up to 0 modulo 256); each is answered with 0x06 or with
// an error reply and an error code. It changes the line's rate (0x3F), tells
// its line size (0x27) and its status (0x4F), receives the main kernel (0x40)
// and the write and erase modules (0x43, 0x48), erases blocks by number (0x58),
// writes line by line (0x50), reads (0x52) and blank-checks the whole FLASH
// (0x4D).
#include <map>

#include "sim/SimProgram.h"

class CSimProtocolB : public CSimProgram
{
public:
    static constexpr BYTE kAck = 0x06;

    // Error codes that follow an error reply.
    static constexpr BYTE kSumError = 0x11;
    static constexpr BYTE kRateError = 0x24;      // no register value gives the rate
    static constexpr BYTE kClockError = 0x25;     // the input clock is not the chip's
    static constexpr BYTE kRatioError = 0x26;     // a multiplication ratio is none of 1, 2, 4, 8
    static constexpr BYTE kFrequencyError = 0x27; // peripheral clock above the system clock
    static constexpr BYTE kWriteAddressError = 0x28;
    static constexpr BYTE kBlockNumberError = 0x29;
    static constexpr BYTE kReadAddressError = 0x2A;
    static constexpr BYTE kLengthError = 0x2B;
    static constexpr BYTE kEraseError = 0x51;
    static constexpr BYTE kNotBlank = 0x52;
    static constexpr BYTE kWriteError = 0x53;
    static constexpr BYTE kNoProgram = 0x54; // what the command needs is not in RAM
    static constexpr BYTE kStatusFault = 0xFF;

    // Status byte of the 0x4F answer.
    static constexpr BYTE kStatusNoKernel = 0x00;
    static constexpr BYTE kStatusKernel = 0x01; // main kernel in, no module
    static constexpr BYTE kStatusErase = 0x02;  // erase module in place
    static constexpr BYTE kStatusWrite = 0x04;  // write module in place

    using CSimProgram::CSimProgram;
    eSimNext Run() override;

private:
    // false when the loop must stop; *pNext says what runs then.
    bool Command(BYTE command, eSimNext* pNext);
    void NewBitRate();
    // The input clock and the two multiplication ratios; false when rejected.
    bool ClocksAccepted(DWORD input, BYTE ckm, BYTE ckp);
    void ConfirmNewRate(DWORD oldRate, DWORD actual);
    void LineSize();
    void Status();
    bool MainKernel();
    void Module(BYTE command);
    void Erase();
    void Write();
    void EndWriting(BYTE sum);
    // A line of data and the sum check closing the frame begun with sum; false
    // when the write goes no further.
    bool RxLine(DWORD address, DWORD line, BYTE sum, std::vector<BYTE>* pData);
    void Read();
    void BlankCheck();

    // n bytes of a frame, added to *pSum; false (with the violation noted) when
    // they stop coming.
    bool RxFrame(BYTE* p, DWORD n, BYTE* pSum, const char* pszWhat);
    bool RxFrameNumber(DWORD* pValue, BYTE* pSum, const char* pszWhat);
    // The closing sum-check byte; false when it does not close the frame
    // (answered with the error reply and 0x11) or does not come.
    bool CheckSum(BYTE sum, BYTE errorReply, const char* pszWhat);
    void Reply(const std::vector<BYTE>& bytes);
    void Error(BYTE errorReply, BYTE code);
    // Notes the event, then answers the error reply and code.
    void Reject(eSimEventKind kind, BYTE errorReply, BYTE code, const char* pszFormat, ...)
        __attribute__((format(printf, 5, 6)));
    // The bytes and the sum check that closes them.
    void ReplySummed(std::vector<BYTE> bytes);
    // A count byte, that many bytes and the sum check, the sum started with
    // the command byte.
    bool RxCounted(BYTE* pSize, BYTE* pBytes, BYTE sum, BYTE errorReply, const char* pszWhat);
    // A downloaded program: its length, its bytes (as many as RAM holds) and the sum check.
    bool RxCode(DWORD* pLength, std::vector<BYTE>* pCode, BYTE errorReply, const char* pszWhat);
    DWORD WorkAreaStart() const;
    DWORD ModuleAddress() const;

    bool m_bKernel = false;
    BYTE m_byStatus = kStatusNoKernel;
    std::map<DWORD, std::size_t> m_BlockNumbers; // block number -> index
};
