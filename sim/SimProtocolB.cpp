#include "sim/SimProtocolB.h"

#include <cmath>
#include <cstdarg>
#include <cstdlib>

#include "sim/SimBaud.h"
#include "sim/SimTarget.h"

namespace {
unsigned long UL(DWORD v)
{
    return static_cast<unsigned long>(v);
}

// The block number a name stands for: the decimal digits after its first two
// characters (EB12 is block 12); false for any other name.
bool BlockNumber(const CString& name, DWORD* pNumber)
{
    const std::string& s = name.str();
    if (s.size() < 3 || s.size() > 11)
        return false;
    for (std::size_t i = 2; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    *pNumber = static_cast<DWORD>(std::strtoul(s.c_str() + 2, nullptr, 10));
    return true;
}

BYTE SumOf(const std::vector<BYTE>& bytes)
{
    BYTE sum = 0;
    for (BYTE b : bytes)
        sum = static_cast<BYTE>(sum + b);
    return sum;
}
} // namespace

DWORD CSimProtocolB::WorkAreaStart() const
{
    return m_def.m_dwRAMSize - m_def.m_wWorkArea;
}

// Both modules go behind the main kernel, one at a time.
DWORD CSimProtocolB::ModuleAddress() const
{
    return (m_target.GetMainKernelSize() + 3) & ~DWORD(3);
}

eSimNext CSimProtocolB::Run()
{
    m_target.SetState(ssProtocolB);
    const auto& blocks = m_target.Model().GetBlocks();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        DWORD number = 0;
        if (BlockNumber(blocks[i].m_strName, &number))
            m_BlockNumbers.emplace(number, i);
    }
    for (;;) {
        Phase(phCommand);
        BYTE command = 0;
        if (!Rx(&command))
            return snInterrupted;
        eSimNext next = snInterrupted;
        if (!Command(command, &next))
            return next;
        if (Interrupted())
            return snInterrupted;
    }
}

bool CSimProtocolB::Command(BYTE command, eSimNext* pNext)
{
    switch (command) {
    case 0x3F:
        NewBitRate();
        break;
    case 0x27:
        LineSize();
        break;
    case 0x4F:
        Status();
        break;
    case 0x40:
        if (!MainKernel()) {
            *pNext = snHalt;
            return false;
        }
        break;
    case 0x43:
    case 0x48:
        Module(command);
        break;
    case 0x58:
        Erase();
        break;
    case 0x50:
        Write();
        break;
    case 0x52:
        Read();
        break;
    case 0x4D:
        BlankCheck();
        break;
    default:
        m_target.Event(ekViolation, "unknown command H'%02X ignored", command);
        break;
    }
    return true;
}

bool CSimProtocolB::RxFrame(BYTE* p, DWORD n, BYTE* pSum, const char* pszWhat)
{
    for (DWORD i = 0; i < n; ++i) {
        if (!Rx(&p[i], m_def.m_dwByteTimeout)) {
            if (!Interrupted())
                m_target.Event(ekViolation, "%s: the rest of the frame did not come; abandoned", pszWhat);
            return false;
        }
        *pSum = static_cast<BYTE>(*pSum + p[i]);
    }
    return true;
}

bool CSimProtocolB::RxFrameNumber(DWORD* pValue, BYTE* pSum, const char* pszWhat)
{
    BYTE b[4] = {};
    if (!RxFrame(b, 4, pSum, pszWhat))
        return false;
    *pValue = (DWORD(b[0]) << 24) | (DWORD(b[1]) << 16) | (DWORD(b[2]) << 8) | b[3];
    return true;
}

bool CSimProtocolB::CheckSum(BYTE sum, BYTE errorReply, const char* pszWhat)
{
    BYTE check = 0;
    if (!RxFrame(&check, 1, &sum, pszWhat))
        return false;
    if (sum == 0)
        return true;
    Reject(ekViolation, errorReply, kSumError, "%s: the sum check H'%02X does not close the frame (H'%02X was due)",
           pszWhat, check, static_cast<BYTE>(check - sum));
    return false;
}

void CSimProtocolB::Reply(const std::vector<BYTE>& bytes)
{
    for (BYTE b : bytes)
        if (!Tx(b))
            return;
}

void CSimProtocolB::Error(BYTE errorReply, BYTE code)
{
    Reply({errorReply, code});
}

void CSimProtocolB::Reject(eSimEventKind kind, BYTE errorReply, BYTE code, const char* pszFormat, ...)
{
    CString text;
    va_list args;
    va_start(args, pszFormat);
    text.FormatV(pszFormat, args);
    va_end(args);
    m_target.Event(kind, "%s", text.GetString());
    Error(errorReply, code);
}

void CSimProtocolB::ReplySummed(std::vector<BYTE> bytes)
{
    bytes.push_back(static_cast<BYTE>(0x100 - SumOf(bytes)));
    Reply(bytes);
}

bool CSimProtocolB::RxCounted(BYTE* pSize, BYTE* pBytes, BYTE sum, BYTE errorReply, const char* pszWhat)
{
    return RxFrame(pSize, 1, &sum, pszWhat) && RxFrame(pBytes, *pSize, &sum, pszWhat) &&
           CheckSum(sum, errorReply, pszWhat);
}

bool CSimProtocolB::RxCode(DWORD* pLength, std::vector<BYTE>* pCode, BYTE errorReply, const char* pszWhat)
{
    BYTE sum = 0;
    if (!RxFrameNumber(pLength, &sum, pszWhat))
        return false;
    // Bytes beyond RAM are summed and dropped.
    pCode->assign(std::min<DWORD>(*pLength, m_def.m_dwRAMSize), 0);
    for (DWORD i = 0; i < *pLength; ++i) {
        BYTE b = 0;
        if (!RxFrame(&b, 1, &sum, pszWhat))
            return false;
        if (i < pCode->size())
            (*pCode)[i] = b;
    }
    return CheckSum(sum, errorReply, pszWhat);
}

void CSimProtocolB::NewBitRate()
{
    Phase(phBaudChange);
    BYTE size = 0;
    BYTE f[255] = {};
    if (!RxCounted(&size, f, 0x3F, 0xBF, "new bit rate"))
        return;
    if (size != 7 || f[4] != 2) {
        Reject(ekViolation, 0xBF, kLengthError, "new bit rate: %u bytes with %u ratios instead of 7 with 2", size,
               f[4]);
        return;
    }
    const DWORD rate = ((DWORD(f[0]) << 8) | f[1]) * 100;
    const DWORD input = (DWORD(f[2]) << 8) | f[3]; // MHz x 100
    const BYTE ckm = f[5], ckp = f[6];
    if (!ClocksAccepted(input, ckm, ckp))
        return;
    const double peripheralHz = m_def.m_dClockMHz * 1e6 * ckp;
    BYTE brr = 0;
    const bool fits = rate != 0 && CSimBaud::BRRForRate(m_def.m_eFormula, peripheralHz, rate, &brr);
    const DWORD actual = fits ? CSimBaud::RateForBRR(m_def.m_eFormula, peripheralHz, brr) : 0;
    if (!fits || !CSimBaud::RatesMatch(actual, rate, m_def.m_dwRateTolerance)) {
        Reject(ekViolation, 0xBF, kRateError, "new bit rate: a %.4f MHz peripheral clock cannot make %lu baud",
               peripheralHz / 1e6, UL(rate));
        return;
    }
    const DWORD oldRate = m_line.GetTargetRate();
    if (!Tx(kAck))
        return;
    m_line.SetTargetRate(actual);
    m_target.Event(ekNote, "new bit rate: BRR %u at x%u runs the UART at %lu baud", brr, ckp, UL(actual));
    ConfirmNewRate(oldRate, actual);
}

bool CSimProtocolB::ClocksAccepted(DWORD input, BYTE ckm, BYTE ckp)
{
    const DWORD chip = static_cast<DWORD>(std::lround(m_def.m_dClockMHz * 100.0));
    if (!CSimBaud::RatesMatch(input, chip, m_def.m_dwRateTolerance)) {
        Reject(ekViolation, 0xBF, kClockError,
               "new bit rate: an input clock of %.2f MHz, but the chip runs at %.4f MHz", input / 100.0,
               m_def.m_dClockMHz);
        return false;
    }
    auto ratio = [](BYTE r) { return r == 1 || r == 2 || r == 4 || r == 8; };
    if (!ratio(ckm) || !ratio(ckp)) {
        Reject(ekViolation, 0xBF, kRatioError,
               "new bit rate: multiplication ratios %u (system) and %u (peripheral); each must be 1, 2, 4 or 8", ckm,
               ckp);
        return false;
    }
    if (ckp > ckm) {
        Reject(ekViolation, 0xBF, kFrequencyError,
               "new bit rate: the peripheral clock (x%u) may not run above the system clock (x%u)", ckp, ckm);
        return false;
    }
    return true;
}

void CSimProtocolB::ConfirmNewRate(DWORD oldRate, DWORD actual)
{
    // The host confirms with 0x06 at the new rate.
    Phase(phRateCheck);
    BYTE confirm = 0;
    if (!Rx(&confirm, m_def.m_dwReplyTimeout)) {
        if (Interrupted())
            return;
        m_target.Event(ekViolation, "the confirmation at the new rate did not come; back to %lu baud", UL(oldRate));
        m_line.SetTargetRate(oldRate);
        return;
    }
    if (confirm != kAck) {
        m_target.Event(ekNote, "the confirmation read H'%02X instead of H'06; back to %lu baud", confirm, UL(oldRate));
        m_line.SetTargetRate(oldRate);
        return;
    }
    if (Tx(kAck))
        m_target.Event(ekNote, "new bit rate confirmed at %lu baud", UL(actual));
}

void CSimProtocolB::LineSize()
{
    Phase(phInquiry);
    ReplySummed({0x37, 0x02, static_cast<BYTE>(m_def.m_wLineSize >> 8), static_cast<BYTE>(m_def.m_wLineSize)});
}

void CSimProtocolB::Status()
{
    Phase(phInquiry);
    BYTE error = 0;
    const DWORD number = m_target.NextStatusNumber();
    if (m_target.Faults().m_dwFailStatus == number) {
        m_target.Event(ekFault, "status inquiry %lu reports error H'%02X", UL(number), kStatusFault);
        error = kStatusFault;
    }
    ReplySummed({0x5F, 0x02, m_byStatus, error});
}

// False when the chip jumped into a download that is not the main kernel.
bool CSimProtocolB::MainKernel()
{
    Phase(phMainKernelDownload);
    if (!Tx(kAck))
        return true;
    DWORD length = 0;
    std::vector<BYTE> code;
    if (!RxCode(&length, &code, 0xC0, "main kernel download"))
        return true;
    if (length > WorkAreaStart()) {
        Reject(ekViolation, 0xC0, kLengthError, "a main kernel of %lu bytes does not fit below the work area (H'%04lX)",
               UL(length), UL(WorkAreaStart()));
        return true;
    }
    CString why;
    const CSimKernelFile& file = m_target.MainKernel();
    if (!file.Matches(code.data(), code.size(), &why)) {
        m_target.Event(ekViolation, "the main kernel download %s; the chip runs it and stops answering",
                       why.GetString());
        Tx(kAck);
        return false;
    }
    m_target.Model().WriteRAM(0, code.data(), length);
    m_target.SetMainKernelSize(length);
    m_bKernel = true;
    m_byStatus = kStatusKernel;
    m_target.Event(ekNote, "main kernel '%s' started (%lu bytes)", file.GetPath().GetString(), UL(length));
    Tx(kAck);
    return true;
}

void CSimProtocolB::Module(BYTE command)
{
    Phase(phModuleDownload);
    const bool write = command == 0x43;
    const int entry = write ? 0 : 1;
    const char* name = write ? "write module" : "erase module";
    const BYTE errorReply = static_cast<BYTE>(command | 0x80);
    if (!m_bKernel) {
        Reject(ekRefusal, errorReply, kNoProgram, "%s download refused: no main kernel is running", name);
        return;
    }
    if (!Tx(kAck))
        return;
    DWORD length = 0;
    std::vector<BYTE> code;
    if (!RxCode(&length, &code, errorReply, name))
        return;
    const DWORD at = ModuleAddress();
    if (at + length > WorkAreaStart()) {
        Reject(ekViolation, errorReply, kLengthError,
               "a %s of %lu bytes at H'%04lX reaches into the work area (H'%04lX)", name, UL(length), UL(at),
               UL(WorkAreaStart()));
        return;
    }
    m_target.Model().WriteRAM(at, code.data(), length);
    CString why;
    const CSimKernelFile& file = m_target.Module(entry);
    if (file.IsLoaded() && file.Matches(code.data(), code.size(), &why)) {
        m_byStatus = write ? kStatusWrite : kStatusErase;
        m_target.Event(ekNote, "%s '%s' placed at H'%04lX (%lu bytes)", name, file.GetPath().GetString(), UL(at),
                       UL(length));
    } else {
        // The sum was right, so the boot program takes it; nothing will run it.
        m_byStatus = kStatusKernel;
        m_target.Event(ekViolation, "the %s download is not the file: %s", name,
                       file.IsLoaded() ? why.GetString() : file.GetError().GetString());
    }
    Tx(kAck);
}

void CSimProtocolB::Erase()
{
    Phase(phErase);
    BYTE count = 0;
    BYTE numbers[255] = {};
    if (!RxCounted(&count, numbers, 0x58, 0xD8, "erase"))
        return;
    if (m_byStatus != kStatusErase) {
        Reject(ekRefusal, 0xD8, kNoProgram, "erase refused: the erase module is not in place (status H'%02X)",
               m_byStatus);
        return;
    }
    if (count == 0) {
        Reject(ekViolation, 0xD8, kLengthError, "erase frame without a block number");
        return;
    }
    std::vector<std::size_t> picked;
    for (BYTE i = 0; i < count; ++i) {
        if (numbers[i] == 0xFF)
            continue; // the end of an erase sequence
        const auto it = m_BlockNumbers.find(numbers[i]);
        if (it == m_BlockNumbers.end()) {
            Reject(ekViolation, 0xD8, kBlockNumberError, "erase: there is no block number %u", numbers[i]);
            return;
        }
        picked.push_back(it->second);
    }
    if (picked.empty()) {
        m_target.Event(ekNote, "erasing ended");
        Tx(kAck);
        return;
    }
    const DWORD number = m_target.NextEraseNumber();
    if (!m_line.Delay(m_def.m_dwEraseTime * static_cast<DWORD>(picked.size())))
        return;
    if (m_target.Faults().m_dwFailErase == number) {
        Reject(ekFault, 0xD8, kEraseError, "erase %lu fails (H'%02X)", UL(number), kEraseError);
        return;
    }
    CString names;
    for (std::size_t i : picked) {
        m_target.Model().EraseBlock(i);
        names += (names.IsEmpty() ? "" : " ") + m_target.Model().GetBlocks()[i].m_strName;
    }
    m_target.Event(ekNote, "erased %s", names.GetString());
    Tx(kAck);
}

void CSimProtocolB::Write()
{
    Phase(phWrite);
    BYTE sum = 0x50;
    DWORD address = 0;
    if (!RxFrameNumber(&address, &sum, "write"))
        return;
    if (address == 0xFFFFFFFF) {
        EndWriting(sum);
        return;
    }
    const DWORD line = m_def.m_wLineSize ? m_def.m_wLineSize : 1;
    std::vector<BYTE> data;
    if (!RxLine(address, line, sum, &data))
        return;
    if (m_byStatus != kStatusWrite) {
        Reject(ekRefusal, 0xD0, kNoProgram, "write refused: the write module is not in place (status H'%02X)",
               m_byStatus);
        return;
    }
    if (address % line != 0 || !m_target.Model().InFLASH(address, line)) {
        Reject(ekViolation, 0xD0, kWriteAddressError, "write to H'%08lX: not a line of the FLASH", UL(address));
        return;
    }
    const DWORD number = m_target.NextWriteNumber();
    if (m_target.Faults().m_dwFailWrite == number) {
        Reject(ekFault, 0xD0, kWriteError, "write %lu at H'%08lX fails (H'%02X)", UL(number), UL(address), kWriteError);
        return;
    }
    DWORD firstIllegal = 0;
    const DWORD illegal = m_target.Model().Program(address, data.data(), line, &firstIllegal);
    if (illegal) {
        m_target.Event(ekViolation, "write to H'%08lX: %lu bytes ask 0 bits to become 1 (first at H'%08lX); the FLASH "
                       "was not erased there",
                       UL(address), UL(illegal), UL(firstIllegal));
        if (m_def.m_bFailOverwrite) {
            Error(0xD0, kWriteError);
            return;
        }
    }
    Tx(kAck);
}

void CSimProtocolB::EndWriting(BYTE sum)
{
    if (!CheckSum(sum, 0xD0, "write"))
        return;
    if (!m_bKernel) {
        Reject(ekRefusal, 0xD0, kNoProgram, "end of writing refused: no main kernel is running");
        return;
    }
    m_target.Event(ekNote, "writing ended");
    Tx(kAck);
}

bool CSimProtocolB::RxLine(DWORD address, DWORD line, BYTE sum, std::vector<BYTE>* pData)
{
    // A line and its sum; a shorter frame is noticed when its bytes stop.
    std::vector<BYTE>& frame = *pData;
    frame.reserve(line + 1);
    for (DWORD i = 0; i <= line; ++i) {
        BYTE b = 0;
        if (!Rx(&b, m_def.m_dwByteTimeout))
            break;
        frame.push_back(b);
    }
    if (Interrupted())
        return false;
    const BYTE total = static_cast<BYTE>(sum + SumOf(frame));
    if (frame.size() <= line) {
        if (frame.size() < 2 || total != 0) {
            m_target.Event(ekViolation, "write to H'%08lX: %zu of %lu bytes came; abandoned", UL(address),
                           frame.size(), UL(line + 1));
            return false;
        }
        m_target.Event(ekViolation, "write to H'%08lX: a line of %zu bytes instead of %lu; the rest taken as H'FF",
                       UL(address), frame.size() - 1, UL(line));
        frame.back() = 0xFF; // the sum came early
        frame.resize(line + 1, 0xFF);
    } else if (total != 0) {
        Reject(ekViolation, 0xD0, kSumError, "write to H'%08lX: the sum check H'%02X does not close the frame",
               UL(address), frame.back());
        return false;
    }
    frame.pop_back();
    return true;
}

void CSimProtocolB::Read()
{
    Phase(phRead);
    BYTE size = 0;
    BYTE f[255] = {};
    if (!RxCounted(&size, f, 0x52, 0xD2, "read"))
        return;
    if (size != 9) {
        Reject(ekViolation, 0xD2, kLengthError, "read: %u bytes before the sum instead of 9", size);
        return;
    }
    const DWORD start = (DWORD(f[1]) << 24) | (DWORD(f[2]) << 16) | (DWORD(f[3]) << 8) | f[4];
    const DWORD length = (DWORD(f[5]) << 24) | (DWORD(f[6]) << 16) | (DWORD(f[7]) << 8) | f[8];
    if (f[0] != 0x00 || !m_target.Model().InFLASH(start, 1)) {
        Reject(ekViolation, 0xD2, kReadAddressError, "read: area %u, address H'%08lX is not in the user FLASH", f[0],
               UL(start));
        return;
    }
    std::vector<BYTE> data;
    if (length == 0 || !m_target.Model().ReadFLASH(start, length, &data)) {
        Reject(ekViolation, 0xD2, kLengthError, "read: H'%08lX + H'%08lX does not fit the FLASH", UL(start),
               UL(length));
        return;
    }
    m_target.DisturbRead(start, &data);
    std::vector<BYTE> reply = {0x52, static_cast<BYTE>(length >> 24), static_cast<BYTE>(length >> 16),
                               static_cast<BYTE>(length >> 8), static_cast<BYTE>(length)};
    reply.reserve(reply.size() + data.size() + 1);
    reply.insert(reply.end(), data.begin(), data.end());
    reply.push_back(static_cast<BYTE>(0x100 - SumOf(reply)));
    const DWORD number = m_target.NextReadReplyNumber();
    if (m_target.Faults().m_dwCorruptReadReply == number) {
        // The sum stays as sent: the frame no longer closes.
        const std::size_t at = 5 + data.size() / 2;
        m_target.Event(ekFault, "read reply %lu: data byte at H'%08lX sent as H'%02X instead of H'%02X", UL(number),
                       UL(start + data.size() / 2), reply[at] ^ CSimFaults::kCorruptMask, reply[at]);
        reply[at] ^= CSimFaults::kCorruptMask;
    }
    Reply(reply);
    m_target.Event(ekNote, "read H'%08lX + H'%08lX", UL(start), UL(length));
}

void CSimProtocolB::BlankCheck()
{
    Phase(phBlankCheck);
    const bool blank = m_target.Model().IsBlank(0, m_target.Model().GetFLASHSize());
    m_target.Event(ekNote, "the FLASH is %s", blank ? "blank" : "not blank");
    if (blank)
        Tx(kAck);
    else
        Error(0xCD, kNotBlank);
}
