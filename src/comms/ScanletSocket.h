#pragma once
// The adapter back-end reached over a Unix stream socket, so a virtual target
// in another process (zflash-sim --pelto) can serve the JTAG channel. Every
// back-end call is one request frame answered by one frame of the same kind:
//
//   frame = kind (1 byte), payload length (2 bytes, little-endian), payload
//
// Numbers in payloads are little-endian. A link that drops, stalls past its
// deadline or answers out of turn is closed: it cannot be brought back in step.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "comms/Scanlet.h"

// A scan the wire cannot carry.
constexpr int SCANLET_BAD_REQUEST = 1003;

// Names the socket; while set, it is the default back-end.
constexpr const char* SCANLET_SOCKET_VARIABLE = "ZFLASH_PELTO_SOCKET";

// Request kinds; the answer carries the same kind.
enum eScanletRequest : unsigned char {
    srOpen = 'O',           // version byte -> taken (1 byte), reason text when not
    srClose = 'C',          // -> nothing
    srClockInput = 'K',     // clock input byte, mode (4 bytes) -> nothing
    srClockDivider = 'D',   // divider byte -> nothing
    srOutputs = 'E',        // 0 or 1 -> nothing
    srResetTestLogic = 'T', // -> nothing
    srScanIR = 'S',         // bit count (4), instruction bytes -> result (4), scanned-out bytes
    srWriteWord = 'W',      // time-out ms (4), word (4) -> result (4)
    srReadWord = 'R',       // time-out ms (4) -> result (4), word (4)
};

// How a frame transfer ended.
enum eScanletIO { sioDone, sioTimedOut, sioClosed, sioFailed, sioGarbage, sioWoken };

struct SScanletFrame
{
    unsigned char m_nKind = 0;
    std::vector<unsigned char> m_Payload;

    void PutByte(unsigned char value) { m_Payload.push_back(value); }
    void PutNumber(std::uint32_t value);
    // The 4-byte number at offset; 0 past the end.
    std::uint32_t Number(std::size_t offset) const;
};

// Frame transfer on a non-blocking socket, bounded by a deadline and cut short
// when wakeFd (if not -1) becomes readable.
class CScanletWire
{
public:
    using Deadline = std::chrono::steady_clock::time_point;
    static constexpr unsigned char kVersion = 1;
    static constexpr std::size_t kHeaderBytes = 3;
    static constexpr std::size_t kMaxPayload = 1024;
    // Longest instruction scan the wire carries, in bits.
    static constexpr unsigned long kMaxScanBits = 8 * (kMaxPayload - 4);

    static eScanletIO Send(int fd, const SScanletFrame& frame, Deadline deadline, int wakeFd = -1);
    static eScanletIO Receive(int fd, SScanletFrame& frame, Deadline deadline, int wakeFd = -1);
    static Deadline After(unsigned long ms);
    // A text for a transfer that did not end in sioDone (with errno for sioFailed).
    static CString Describe(eScanletIO result, int error);

private:
    static eScanletIO Transfer(int fd, unsigned char* pData, std::size_t nBytes, bool bSend, Deadline deadline,
                               int wakeFd);
};

class CScanletSocketBackend : public CScanletBackend
{
public:
    // How long a call without a time-out of its own waits for its answer, and
    // what a word call waits for beyond the word's time-out.
    static constexpr unsigned long kAnswerWaitMs = 5000;
    static constexpr unsigned long kWordGraceMs = 1000;

    explicit CScanletSocketBackend(const CString& path);
    ~CScanletSocketBackend() override;
    CScanletSocketBackend(const CScanletSocketBackend&) = delete;
    CScanletSocketBackend& operator=(const CScanletSocketBackend&) = delete;

    bool IsInstalled() override { return !m_strPath.IsEmpty(); }
    bool OpenPort(CString& error) override;
    void ClosePort() override;
    void SetClockInput(unsigned char clkin, int mode) override;
    void SetClockDivider(unsigned char cdiv) override;
    void SetOutputsEnabled(bool enabled) override;
    void ResetTestLogic() override;
    int ScanIR(const unsigned char* instruction, unsigned long bits, unsigned char* out) override;
    int WriteWord(const unsigned char word[4], unsigned long timeoutMs) override;
    int ReadWord(unsigned char word[4], unsigned long timeoutMs) override;

    const CString& GetPath() const { return m_strPath; }
    // Why the last call failed (a link dropped or refused, a request too
    // large); empty until one has.
    CString GetLastError() const override;

private:
    // One request and its answer of at least nMinAnswer bytes. A failure drops
    // the link; the result tells a time-out from the rest.
    eScanletIO Exchange(SScanletFrame& frame, std::size_t nMinAnswer, unsigned long waitMs);
    // A call without a result of its own.
    void Notify(SScanletFrame& frame);
    bool Connect(CString& error);
    void Drop(const CString& reason);
    // The result code of a word call's or scan's answer.
    int ResultOf(eScanletIO io, const SScanletFrame& answer) const;

    const CString m_strPath;
    mutable std::mutex m_lock;
    int m_fd = -1;
    CString m_strLastError;
};
