#pragma once
// The host's side of the wire for the virtual target's tests, written from the
// protocol (boot program, micro-kernel, classic kernel commands), not from the
// target's code. Each step sends the bytes the host would send and returns what
// came back, so that tests check the target's answers.
#include <gmock/gmock.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Types.h"

class CSimTarget;

namespace simtest {

using ::testing::HasSubstr;

std::string DataPath(const std::string& name);
std::string DevicePath(const std::string& name);
std::vector<BYTE> ReadFile(const std::string& path);

class CScriptedHost
{
public:
    // With a target, "no answer" is decided by asking the target whether it has
    // taken everything sent and said nothing; without one, by waiting.
    explicit CScriptedHost(const CSimTarget* pTarget = nullptr);
    ~CScriptedHost();
    CScriptedHost(const CScriptedHost&) = delete;
    CScriptedHost& operator=(const CScriptedHost&) = delete;

    bool Open(const std::string& path);
    // A standard rate; with a target, returns once the target has seen it.
    bool SetRate(DWORD rate);

    void Send(const std::vector<BYTE>& bytes);
    void Send(BYTE byte) { Send(std::vector<BYTE>{byte}); }
    void SendNumber(DWORD value, int width);
    // Whatever of count bytes arrives within the time.
    std::vector<BYTE> Receive(std::size_t count, int timeoutMs = 5000);
    // True when the target has answered nothing to all that was sent.
    bool Silent(int timeoutMs = 300);
    // With a target: waits until it has dealt with everything sent.
    void Settle();

    // Boot program. Tries the rates in order, two 0x00 at each, and returns
    // the rate at which 0x00 came back (0 when none did).
    DWORD Boot(const std::vector<DWORD>& rates = {9600, 4800, 2400, 1200});
    // Sends 0x55; the answer, or -1 when none came.
    int Acknowledge();
    // The echoed download; false at the first byte not echoed.
    bool DownloadEchoed(const std::vector<BYTE>& code);

    // Micro-kernel and USER loader: 0x44 0x04, the BRR exchange (offset
    // formula), the switch to the new rate and the 01 02 03 04 check.
    bool ChangeBaud(DWORD newRate, DWORD presentRate);
    void DownloadKernel(const std::vector<BYTE>& code);

    // Main kernel. 0x09, the identifier, RAM top for a USER kernel, then 0x0A;
    // the bit fields of the answer, or -1. Takes the address width and
    // erase-register count from them.
    int Identify(BYTE identifier);
    // 0x0A: handshake byte and identifier.
    std::vector<BYTE> Handshake();
    // 0x28 or 0x48 by the length unless a command is given.
    void DownloadModule(WORD address, const std::vector<BYTE>& code, BYTE command = 0);
    void FunctionMap(const std::vector<WORD>& entries, WORD bufferAddress, WORD bufferSize);
    // The erase command; returns every byte of the answer up to the first
    // that is not 0x29.
    std::vector<BYTE> Erase(DWORD start, DWORD end, const std::vector<BYTE>& ebr);
    // The blank-check answer, or -1.
    int BlankCheck(DWORD start, DWORD length);
    // Writes the data as one chunk; pReplies gets the chunk's answer and the
    // final status. False when an answer is missing or not 0x00.
    bool Write(DWORD start, const std::vector<BYTE>& data, std::vector<BYTE>* pReplies);

private:
    const CSimTarget* m_pTarget;
    int m_fd = -1;
    int m_nWidth = 4;     // address and size width
    int m_nRegisters = 0; // erase-register bytes
    std::uint64_t m_qwSent = 0;
    std::uint64_t m_qwReceived = 0;
};

} // namespace simtest
