#include "sim/SimProgram.h"

#include <utility>

#include "sim/SimBaud.h"
#include "sim/SimKernelFile.h"
#include "sim/SimTarget.h"

CSimProgram::CSimProgram(CSimTarget& target)
    : m_target(target), m_line(target.Line()), m_def(target.Definition())
{
}

bool CSimProgram::Rx(BYTE* pByte, DWORD timeoutMs, bool* pIntact)
{
    bool intact = true;
    const bool ok = m_line.Receive(pByte, &intact, timeoutMs) == lrByte;
    if (pIntact)
        *pIntact = intact;
    if (ok)
        m_line.EndHostField();
    return ok;
}

bool CSimProgram::Tx(BYTE byte)
{
    return TxField(&byte, 1);
}

DWORD CSimProgram::RxField(BYTE* pBytes, DWORD count, DWORD timeoutMs)
{
    DWORD got = 0;
    bool intact = true;
    while (got < count && m_line.Receive(pBytes + got, &intact, timeoutMs) == lrByte)
        ++got;
    if (got > 0 && m_line.IsOnDebugPort()) {
        if (got == count && count % 4 == 2)
            std::swap(pBytes[count - 2], pBytes[count - 1]);
        m_line.EndHostField();
    }
    return got;
}

bool CSimProgram::TxField(const BYTE* pBytes, DWORD count)
{
    for (DWORD i = 0; i < count; ++i)
        if (!m_line.Send(pBytes[i]))
            return false;
    m_line.EndAnswer();
    return true;
}

bool CSimProgram::RxNumber(int width, DWORD* pValue, DWORD timeoutMs)
{
    BYTE bytes[4] = {};
    if (width < 0 || width > 4 || RxField(bytes, static_cast<DWORD>(width), timeoutMs) != static_cast<DWORD>(width))
        return false;
    DWORD v = 0;
    for (int i = 0; i < width; ++i)
        v = (v << 8) | bytes[i];
    *pValue = v;
    return true;
}

bool CSimProgram::WaitForBaudCommand()
{
    bool afterCommand = false;
    for (;;) {
        BYTE b = 0;
        if (!Rx(&b))
            return false;
        if (afterCommand && b == 0x04)
            return true;
        afterCommand = b == 0x44;
    }
}

bool CSimProgram::WaitForBaudCommandOrKernel(DWORD limit, DWORD* pLength)
{
    int nHeld = 0;
    BYTE first = 0;
    for (;;) {
        BYTE b = 0;
        bool intact = true;
        if (!Rx(&b, INFINITE, &intact))
            return false;
        if (!intact) {
            nHeld = 0; // a garbled byte starts neither
            continue;
        }
        if (m_line.IsOnDebugPort()) {
            // No rate to change over the debug interface: after the host's
            // wake-up byte the kernel's length comes as a field of its own.
            DWORD length = 0;
            if (b != 0x00 || !RxNumber(2, &length, m_def.m_dwByteTimeout))
                continue;
            if (length > 0 && length <= limit) {
                *pLength = length;
                return true;
            }
            m_target.Event(ekViolation, "a main kernel of %lu bytes over the debug interface does not fit",
                           static_cast<unsigned long>(length));
            continue;
        }
        if (nHeld == 1) {
            const DWORD length = (DWORD(first) << 8) | b;
            if (first == 0x44 && b == 0x04) {
                *pLength = 0;
                return true;
            }
            if (length > 0 && length <= limit) {
                *pLength = length;
                return true;
            }
        }
        first = b;
        nHeld = 1;
    }
}

CSimProgram::eStep CSimProgram::BaudChange(BYTE presentBRR)
{
    Phase(phBaudChange);
    if (!Tx(presentBRR))
        return stInterrupted;
    BYTE brr = 0;
    if (!Rx(&brr, m_def.m_dwReplyTimeout)) {
        if (Interrupted())
            return stInterrupted;
        m_target.Event(ekViolation, "no new BRR value came after the present one (%u)", presentBRR);
        return stFailed;
    }
    const DWORD oldRate = m_line.GetTargetRate();
    const DWORD newRate = CSimBaud::RateForBRR(m_def.m_eFormula, m_def.m_dClockMHz * 1e6, brr);
    m_target.Event(ekNote, "BRR %u from the host: the chip's UART runs at %lu baud", brr,
                   static_cast<unsigned long>(newRate));
    m_line.SetTargetRate(newRate);
    Phase(phRateCheck);
    BYTE check[4] = {};
    for (BYTE& b : check) {
        if (!Rx(&b, m_def.m_dwReplyTimeout)) {
            if (Interrupted())
                return stInterrupted;
            m_target.Event(ekViolation, "the link check at the new rate did not come; back to %lu baud",
                           static_cast<unsigned long>(oldRate));
            m_line.SetTargetRate(oldRate);
            return stFailed;
        }
        if (!Tx(b))
            return stInterrupted;
    }
    if (check[0] != 0x01 || check[1] != 0x02 || check[2] != 0x03 || check[3] != 0x04) {
        m_target.Event(ekNote, "the link check read %02X %02X %02X %02X instead of 01 02 03 04; back to %lu baud",
                       check[0], check[1], check[2], check[3], static_cast<unsigned long>(oldRate));
        m_line.SetTargetRate(oldRate);
        return stFailed;
    }
    m_target.Event(ekNote, "link checked at %lu baud", static_cast<unsigned long>(newRate));
    return stDone;
}

CSimProgram::eStep CSimProgram::ReceiveKernel(std::vector<BYTE>* pCode, DWORD knownLength)
{
    Phase(phMainKernelDownload);
    DWORD length = knownLength;
    if (length == 0 && !RxNumber(2, &length, INFINITE))
        return stInterrupted;
    pCode->assign(length, 0);
    const DWORD got = RxField(pCode->data(), length, m_def.m_dwByteTimeout);
    if (got == length)
        return stDone;
    if (Interrupted())
        return stInterrupted;
    m_target.Event(ekViolation, "the main kernel download stopped after %lu of %lu bytes",
                   static_cast<unsigned long>(got), static_cast<unsigned long>(length));
    pCode->resize(got);
    return stFailed;
}

eSimNext CSimProgram::StartKernel(const std::vector<BYTE>& code, const CSimKernelFile& file, bool bUser)
{
    CString why;
    if (!file.Matches(code.data(), code.size(), &why)) {
        m_target.Event(ekViolation, "the main kernel download %s; the chip runs it and stops answering",
                       why.GetString());
        return snHalt;
    }
    const DWORD limit = KernelLimit(bUser);
    if (code.size() > limit) {
        m_target.Event(ekViolation,
                       "the main kernel (%zu bytes) does not fit below the kernel's work area (%lu bytes); the chip "
                       "stops answering",
                       code.size(), static_cast<unsigned long>(limit));
        return snHalt;
    }
    m_target.Model().WriteRAM(0, code.data(), static_cast<DWORD>(code.size()));
    m_target.SetMainKernelSize(static_cast<DWORD>(code.size()));
    m_target.Event(ekNote, "%s main kernel '%s' started (%zu bytes)", bUser ? "USER" : "BOOT",
                   file.GetPath().GetString(), code.size());
    return bUser ? snUserMainKernel : snMainKernel;
}

DWORD CSimProgram::KernelLimit(bool bUser) const
{
    DWORD top = m_def.m_dwRAMSize;
    if (bUser && m_def.m_wUserRAMTop < top)
        top = m_def.m_wUserRAMTop;
    return top > m_def.m_wWorkArea ? top - m_def.m_wWorkArea : 0;
}

eSimNext CSimProgram::ChangeBaudAndLoadKernel(BYTE presentBRR, const CSimKernelFile& file, bool bUser)
{
    DWORD length = 0;
    for (;;) {
        Phase(phBaudChange);
        if (bUser ? !WaitForBaudCommandOrKernel(KernelLimit(true), &length) : !WaitForBaudCommand())
            return snInterrupted;
        if (length != 0) {
            m_target.Event(ekNote, "no baud change: the loader takes a main kernel of %lu bytes at %lu baud",
                           static_cast<unsigned long>(length), static_cast<unsigned long>(m_line.GetTargetRate()));
            break;
        }
        const eStep step = BaudChange(presentBRR);
        if (step == stInterrupted)
            return snInterrupted;
        if (step == stDone)
            break;
    }
    std::vector<BYTE> code;
    const eStep step = ReceiveKernel(&code, length);
    if (step == stInterrupted)
        return snInterrupted;
    if (step == stFailed)
        return snHalt;
    return StartKernel(code, file, bUser);
}
