#include "sim/SimKivuBoard.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "platform/PrivateProfile.h"
#include "sim/SimDefinition.h"
#include "sim/SimTarget.h"

namespace {
// Waits of the board's own firmware.
constexpr DWORD kFrameByteMs = 1000; // between the bytes of one frame
constexpr DWORD kHostByteMs = 5000;  // for the host's next byte within an exchange
constexpr DWORD kChipEchoMs = 1000;  // for the chip's echo or answer
constexpr DWORD kMatchMs = 300;      // for the boot program's answer to 0x00 at one rate
constexpr DWORD kEraseGraceMs = 500; // before "K" goes out while the chip may still report a failed erase
constexpr DWORD kOwnFrameGapMs = 100; // a held frame start whose next byte takes longer is the chip's

// The transparent-mode frame the board still answers while it relays.
constexpr BYTE kOwnFrame[4] = {0xAA, 0x08, 0x00, 0x55};

const DWORD kRates[8] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

speed_t Speed(DWORD rate)
{
    switch (rate) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B9600;
    }
}

CString Trimmed(CString s)
{
    s.Trim();
    return s;
}

bool ParseNumber(const CString& text, long* pValue)
{
    const char* p = text;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(p, &end, 0);
    if (end == p || *end != '\0' || errno != 0)
        return false;
    *pValue = v;
    return true;
}

bool ParseFlag(const CString& text, bool* pValue)
{
    for (const char* yes : {"1", "true", "yes", "on"})
        if (text.CompareNoCase(yes) == 0)
            return (*pValue = true);
    for (const char* no : {"0", "false", "no", "off"})
        if (text.CompareNoCase(no) == 0)
            return !(*pValue = false);
    return false;
}
} // namespace

const std::vector<const char*>& CSimBoardSettings::Keys()
{
    static const std::vector<const char*> kKeys = {
        "Kivu Board",       "Kivu Firmware", "Kivu Erase Wait",   "Kivu Silent",           "Kivu Reset Detected",
        "Kivu Wrong Answer", "Kivu Short Frame", "Pelto Scan Result", "Pelto Port Unavailable",
    };
    return kKeys;
}

bool CSimBoardSettings::IsKey(const CString& key)
{
    for (const char* k : Keys())
        if (key.CompareNoCase(k) == 0)
            return true;
    return false;
}

bool CSimBoardSettings::Load(const CSimDefinition& def, const CSimOverrides& overrides, CString* pError)
{
    CString dummy;
    if (!pError)
        pError = &dummy;
    *this = CSimBoardSettings();
    auto value = [&](const char* key) {
        for (auto it = overrides.rbegin(); it != overrides.rend(); ++it)
            if (it->first.CompareNoCase(key) == 0)
                return Trimmed(it->second);
        return Trimmed(GetPrivateProfileStringA("Simulator", key, "", def.m_strPath));
    };
    struct
    {
        const char* key;
        bool* target;
    } flags[] = {{"Kivu Board", &m_bPresent}, {"Kivu Silent", &m_bSilent}, {"Pelto Port Unavailable", &m_bPeltoUnavailable}};
    for (auto& f : flags) {
        const CString text = value(f.key);
        if (!text.IsEmpty() && !ParseFlag(text, f.target)) {
            pError->Format("[Simulator] \"%s\": '%s' is not 0, 1, True or False", f.key, text.GetString());
            return false;
        }
    }
    struct
    {
        const char* key;
        long nMin, nMax, nDefault;
        long* pValue;
    } numbers[] = {{"Kivu Firmware", 0x0100, 0x03FF, 0x0300, nullptr},   {"Kivu Erase Wait", 0, 600000, 2000, nullptr},
                   {"Kivu Reset Detected", 0, 0x7FFFFFFF, 0, nullptr}, {"Kivu Wrong Answer", 0, 0x7FFFFFFF, 0, nullptr},
                   {"Kivu Short Frame", 0, 0x7FFFFFFF, 0, nullptr},    {"Pelto Scan Result", -0x7FFFFFFF, 0x7FFFFFFF, 1000, nullptr}};
    long v[6] = {};
    for (int i = 0; i < 6; ++i) {
        const CString text = value(numbers[i].key);
        v[i] = numbers[i].nDefault;
        if (text.IsEmpty())
            continue;
        if (!ParseNumber(text, &v[i])) {
            pError->Format("[Simulator] \"%s\": '%s' is not a number", numbers[i].key, text.GetString());
            return false;
        }
        if (v[i] < numbers[i].nMin || v[i] > numbers[i].nMax) {
            pError->Format("[Simulator] \"%s\": %ld is outside %ld..%ld", numbers[i].key, v[i], numbers[i].nMin,
                           numbers[i].nMax);
            return false;
        }
    }
    m_wFirmware = static_cast<WORD>(v[0]);
    m_dwEraseWait = static_cast<DWORD>(v[1]);
    m_dwResetDetected = static_cast<DWORD>(v[2]);
    m_dwWrongAnswer = static_cast<DWORD>(v[3]);
    m_dwShortFrame = static_cast<DWORD>(v[4]);
    m_nScanResult = static_cast<int>(v[5]);
    return true;
}

CSimKivuBoard::CSimKivuBoard(CSimTarget& target, const CSimBoardSettings& settings)
    : m_target(target), m_Settings(settings), m_PCLine(m_Transcript)
{
    for (auto& p : m_Ports)
        p = 0;
}

CSimKivuBoard::~CSimKivuBoard()
{
    Stop();
}

bool CSimKivuBoard::Start(CString* pError)
{
    if (!m_PCLine.Open(pError))
        return false;
    if (!ChipOpen(pError)) {
        m_PCLine.Close();
        return false;
    }
    m_Transcript.Clear();
    m_PCLine.SetTolerance(m_target.Definition().m_dwRateTolerance);
    m_PCLine.SetTargetRate(9600);
    m_PCLine.ClearInterrupt();
    ResetBoard();
    ChipSetRate(9600);
    m_Ports[0x00FE] = static_cast<BYTE>(m_Settings.m_wFirmware >> 8);
    m_Ports[0x00FF] = static_cast<BYTE>(m_Settings.m_wFirmware);
    // The pins start as the chip's start mode wants them.
    const eSimStartMode mode = m_target.Definition().m_eStartMode;
    const bool boot = mode == smBoot || mode == smBootResident;
    m_bMDx = boot;
    m_Ports[0xFFB3] = boot ? 0xDF : 0xFF;
    m_Ports[0xFFE4] = 0x80;
    m_b12V = true;
    m_bVpp = false;
    m_bResetHeld = false;
    m_bStop = false;
    Event(ekNote, "Kivu board, firmware %u.%02u", m_Settings.m_wFirmware >> 8, m_Settings.m_wFirmware & 0xFF);
    m_thread = std::thread(&CSimKivuBoard::ThreadMain, this);
    return true;
}

void CSimKivuBoard::Stop()
{
    if (m_thread.joinable()) {
        m_bStop = true;
        m_PCLine.Interrupt();
        m_thread.join();
    }
    ChipClose();
    m_PCLine.Close();
}

CSimBoardSettings CSimKivuBoard::Faults() const
{
    std::lock_guard lock(m_faultLock);
    return m_Settings;
}

void CSimKivuBoard::SetFaults(const CSimBoardSettings& settings)
{
    std::lock_guard lock(m_faultLock);
    m_Settings.m_bSilent = settings.m_bSilent;
    m_Settings.m_dwResetDetected = settings.m_dwResetDetected;
    m_Settings.m_dwWrongAnswer = settings.m_dwWrongAnswer;
    m_Settings.m_dwShortFrame = settings.m_dwShortFrame;
    m_dwAnswers = 0;
    m_dwSCISetups = 0;
}

void CSimKivuBoard::Event(eSimEventKind kind, const char* pszFormat, ...)
{
    CString text;
    va_list args;
    va_start(args, pszFormat);
    text.FormatV(pszFormat, args);
    va_end(args);
    m_Transcript.AddEvent(kind, m_PCLine.GetPhase(), text);
}

// ---- the chip's line -------------------------------------------------------

bool CSimKivuBoard::ChipOpen(CString* pError)
{
    const CString path = m_target.GetChipPortName();
    m_nChip = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_nChip < 0) {
        if (pError)
            pError->Format("the board cannot open the chip's line '%s': %s", path.GetString(), std::strerror(errno));
        return false;
    }
    ChipSetRate(9600);
    return true;
}

void CSimKivuBoard::ChipClose()
{
    if (m_nChip >= 0)
        ::close(m_nChip);
    m_nChip = -1;
}

void CSimKivuBoard::ChipSetRate(DWORD rate)
{
    struct termios t {};
    if (m_nChip >= 0 && ::tcgetattr(m_nChip, &t) == 0) {
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, Speed(rate));
        ::tcsetattr(m_nChip, TCSANOW, &t);
    }
    if (m_dwChipRate.exchange(rate) != rate)
        Event(ekNote, "link to the chip now %lu baud", static_cast<unsigned long>(rate));
}

bool CSimKivuBoard::ChipSend(BYTE byte)
{
    for (int tries = 0; tries < 200 && !m_bStop; ++tries) {
        const ssize_t n = ::write(m_nChip, &byte, 1);
        if (n == 1)
            return true;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd fd = {m_nChip, POLLOUT, 0};
        ::poll(&fd, 1, 10);
    }
    return false;
}

bool CSimKivuBoard::ChipReceive(BYTE* pByte, DWORD timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (::read(m_nChip, pByte, 1) == 1)
            return true;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || m_bStop)
            return false;
        pollfd fd = {m_nChip, POLLIN, 0};
        ::poll(&fd, 1, static_cast<int>(left > 10 ? 10 : left));
    }
}

void CSimKivuBoard::ChipFlush()
{
    BYTE b = 0;
    while (::read(m_nChip, &b, 1) == 1) {
    }
}

// ---- frames ----------------------------------------------------------------

void CSimKivuBoard::Out(BYTE byte)
{
    m_PCLine.Send(byte);
}

bool CSimKivuBoard::BeginAnswer(BYTE command)
{
    const CSimBoardSettings faults = Faults();
    if (faults.m_bSilent)
        return false;
    BYTE code = static_cast<BYTE>(0xE0 + command);
    if (++m_dwAnswers == faults.m_dwWrongAnswer) {
        code ^= 0x10;
        Event(ekFault, "answer code %02X instead of %02X", code, static_cast<BYTE>(0xE0 + command));
    }
    Out(code);
    return true;
}

void CSimKivuBoard::EndAnswer(BYTE status)
{
    const CSimBoardSettings faults = Faults();
    if (faults.m_bSilent)
        return;
    if (m_dwAnswers.load() == faults.m_dwShortFrame) {
        Event(ekFault, "the answer frame ends without its status byte");
        return;
    }
    Out(status);
}

void CSimKivuBoard::Answer(BYTE command, const std::vector<BYTE>& data, BYTE status)
{
    if (!BeginAnswer(command))
        return;
    Out(static_cast<BYTE>(data.size()));
    for (BYTE b : data)
        Out(b);
    EndAnswer(status);
}

bool CSimKivuBoard::ReadFrame(BYTE* pCommand, std::vector<BYTE>* pData)
{
    BYTE length = 0, trailer = 0;
    bool intact = true;
    if (m_PCLine.Receive(pCommand, &intact, kFrameByteMs) != lrByte || !intact ||
        m_PCLine.Receive(&length, &intact, kFrameByteMs) != lrByte || !intact)
        return false;
    pData->assign(length, 0);
    for (BYTE& b : *pData)
        if (m_PCLine.Receive(&b, &intact, kFrameByteMs) != lrByte || !intact)
            return false;
    if (m_PCLine.Receive(&trailer, &intact, kFrameByteMs) != lrByte || !intact)
        return false;
    if (trailer != 0x55) {
        Event(ekViolation, "frame of command %02X ends with %02X instead of 55; ignored", *pCommand, trailer);
        return false;
    }
    return true;
}

void CSimKivuBoard::ThreadMain()
{
    while (!m_bStop) {
        if (m_bTransparent) {
            Relay();
            continue;
        }
        m_PCLine.SetPhase(phCommand);
        BYTE b = 0;
        bool intact = true;
        const eSimLineResult r = m_PCLine.Receive(&b, &intact, INFINITE);
        if (r == lrInterrupted)
            break;
        if (r != lrByte || !intact || b != 0xAA)
            continue; // noise before a frame
        BYTE command = 0;
        std::vector<BYTE> data;
        if (!ReadFrame(&command, &data)) {
            if (!m_PCLine.IsInterrupted())
                Event(ekViolation, "an incomplete frame was dropped");
            continue;
        }
        Handle(command, data);
    }
}

void CSimKivuBoard::Handle(BYTE command, const std::vector<BYTE>& data)
{
    // How many data bytes each command takes; -1: whatever came.
    static const int kDataBytes[16] = {-1, -1, -1, 1, 1, 1, 0, 4, 0, 5, 2, 4, 4, 0, 0, 0};
    if (command < 16 && kDataBytes[command] >= 0 && !Need(command, data, static_cast<std::size_t>(kDataBytes[command])))
        return;
    switch (command) {
    case 0x00: // identify
        Answer(command, {Port(0x00FE), Port(0x00FF)}, 0x00);
        break;
    case 0x01:
        Status();
        break;
    case 0x02: // reset the board
        Answer(command, {}, 0x00);
        ResetBoard();
        Event(ekNote, "board reset");
        break;
    case 0x03:
        Switch(command, data[0] == 0x00, m_b12V, "12 V supply");
        break;
    case 0x04:
        Switch(command, data[0] == 0x00, m_bVpp, "Vpp supply");
        break;
    case 0x05:
        SetMDx(data[0] == 0x00);
        break;
    case 0x06:
        BootChip();
        break;
    case 0x07:
        DownloadMicroKernel(Number(data));
        break;
    case 0x08:
        EnterTransparentMode();
        break;
    case 0x09:
        SetupSCI(data);
        break;
    case 0x0A: // read a port
        Answer(command, {Port(static_cast<WORD>((data[0] << 8) | data[1]))}, 0x00);
        break;
    case 0x0B:
        WritePort(static_cast<WORD>((data[0] << 8) | data[1]), data[2], data[3]);
        Answer(command, {}, 0x00);
        break;
    case 0x0C:
        LoadCommand(Number(data));
        break;
    case 0x0D:
        RunLoadedCommand();
        break;
    case 0x0E:
    case 0x0F:
        SetResetLine(command == 0x0E);
        break;
    default:
        Event(ekViolation, "unknown command %02X", command);
        Answer(command, {}, 0x01);
        break;
    }
}

bool CSimKivuBoard::Need(BYTE command, const std::vector<BYTE>& data, std::size_t count)
{
    if (data.size() == count)
        return true;
    Event(ekViolation, "command %02X with %zu data bytes instead of %zu", command, data.size(), count);
    Answer(command, {}, 0x01);
    return false;
}

DWORD CSimKivuBoard::Number(const std::vector<BYTE>& data)
{
    return (DWORD(data[0]) << 24) | (DWORD(data[1]) << 16) | (DWORD(data[2]) << 8) | data[3];
}

void CSimKivuBoard::Status()
{
    const BYTE flags = static_cast<BYTE>((m_b12V ? 1 : 0) | (m_bVpp ? 2 : 0) | (m_bMDx ? 4 : 0) | (IsMDyOn() ? 8 : 0) |
                                         (m_bResetHeld ? 16 : 0));
    Answer(0x01, {flags}, 0x00);
}

void CSimKivuBoard::Switch(BYTE command, bool bOn, std::atomic<bool>& supply, const char* name)
{
    supply = bOn;
    Event(ekNote, "%s %s", name, supply ? "on" : "off");
    Answer(command, {}, 0x00);
}

void CSimKivuBoard::SetMDx(bool bOn)
{
    m_bMDx = bOn;
    Event(ekNote, "MDx %s", m_bMDx ? "on" : "off");
    ApplyPins();
    Answer(0x05, {}, 0x00);
}

void CSimKivuBoard::EnterTransparentMode()
{
    Answer(0x08, {}, 0x00);
    m_bModeByte = m_bModeSent;
    m_bModeSent = false;
    m_bEscape = false;
    m_dwStartsSeen = m_target.GetStartCount();
    m_bTransparent = true;
    Event(ekNote, "transparent mode%s", m_bModeByte ? " after the mode byte" : "");
}

void CSimKivuBoard::RunLoadedCommand()
{
    if (!BeginAnswer(0x0D))
        return;
    Event(ekNote, "ran the loaded command (%zu bytes)", m_LoadedCommand.size());
    Out(0x00);
}

void CSimKivuBoard::SetResetLine(bool bHeld)
{
    m_bResetHeld = bHeld;
    if (!bHeld)
        m_bBooted = false;
    Event(ekNote, "reset line %s", bHeld ? "low (held)" : "high (released)");
    m_target.HoldInReset(bHeld);
    Answer(bHeld ? 0x0E : 0x0F, {}, 0x00);
}

void CSimKivuBoard::ResetBoard()
{
    // Its links keep their rates: the host that raised them goes on talking.
    m_bTransparent = false;
    m_bModeByte = false;
    m_bModeSent = false;
    m_bEscape = false;
    m_bCheckPending = false;
    m_bBooted = false;
    m_Held.clear();
}

void CSimKivuBoard::ApplyPins()
{
    m_target.SetPinMode(m_bMDx && IsMDyOn() ? smBoot : smUser);
}

void CSimKivuBoard::WritePort(WORD address, BYTE value, BYTE operation)
{
    BYTE v = Port(address);
    if (operation == 1)
        v &= value;
    else if (operation == 2)
        v |= value;
    else
        v = value;
    m_Ports[address] = v;
    if (address == 0xFFB3) {
        Event(ekNote, "MDy %s", IsMDyOn() ? "on" : "off");
        ApplyPins();
    } else if (address == 0xFFE4 && !(v & 0x80)) {
        // Clearing "transmit data empty" sends the data register out of SCI1.
        const BYTE out = Port(0xFFE3);
        ChipSend(out);
        m_bModeSent = out == 0x55;
        Event(ekNote, "sent %02X to the chip from SCI1", out);
        m_Ports[0xFFE4] = static_cast<BYTE>(v | 0x80);
    }
}

// ---- boot, download, SCI set-up ---------------------------------------------

void CSimKivuBoard::BootChip()
{
    m_PCLine.SetPhase(phBitRateMatching);
    m_bBooted = false;
    static const struct
    {
        DWORD rate;
        BYTE code;
    } kTries[] = {{9600, 0xB3}, {19200, 0xB4}, {4800, 0xB2}, {2400, 0xB1}, {1200, 0xB0}};
    BYTE code = 0;
    for (const auto& t : kTries) {
        ChipSetRate(t.rate);
        ChipFlush();
        BYTE b = 0xFF;
        if (ChipSend(0x00) && ChipReceive(&b, kMatchMs) && b == 0x00) {
            code = t.code;
            break;
        }
    }
    if (code == 0) {
        Event(ekNote, "the chip's boot program did not answer at any rate");
        Answer(0x06, {0x00}, 0x01);
        return;
    }
    Event(ekNote, "boot program matched at %lu baud (code %02X)", static_cast<unsigned long>(m_dwChipRate.load()), code);
    BYTE answer = 0;
    if (!ChipSend(0x55) || !ChipReceive(&answer, kChipEchoMs)) {
        Event(ekNote, "the boot program did not answer 0x55");
        Answer(0x06, {code}, 0x02);
        return;
    }
    if (answer == 0xFF) {
        Event(ekNote, "the boot program reports a failed erase");
        Answer(0x06, {code}, 0xFF);
        return;
    }
    m_bBooted = answer == 0xAA;
    Answer(0x06, {code}, m_bBooted ? 0x00 : 0x02);
}

void CSimKivuBoard::DownloadMicroKernel(DWORD count)
{
    m_PCLine.SetPhase(phMicroKernelDownload);
    if (!BeginAnswer(0x07))
        return;
    Out(0x00);
    BYTE echo = 0;
    const bool ready = m_bBooted && count > 0 && count <= 0xFFFF && ChipSend(static_cast<BYTE>(count >> 8)) &&
                       ChipReceive(&echo, kChipEchoMs) && echo == static_cast<BYTE>(count >> 8) &&
                       ChipSend(static_cast<BYTE>(count)) && ChipReceive(&echo, kChipEchoMs) &&
                       echo == static_cast<BYTE>(count);
    m_bBooted = false;
    if (!ready) {
        Event(ekNote, "no micro-kernel download: the chip is not waiting for one");
        Out(0x4E);
        return;
    }
    Out(0x44);
    // Each byte goes to the chip and the chip's echo back to the host, so
    // the host's check covers the whole way.
    for (DWORD i = 0; i < count; ++i) {
        BYTE b = 0;
        bool intact = true;
        if (m_PCLine.Receive(&b, &intact, kHostByteMs) != lrByte) {
            Event(ekViolation, "the micro-kernel stopped after %lu of %lu bytes", static_cast<unsigned long>(i),
                  static_cast<unsigned long>(count));
            return;
        }
        if (ChipSend(b) && ChipReceive(&echo, kChipEchoMs))
            Out(echo);
    }
    // Firmware from 3.00 on is told whether the chip erases itself now.
    const bool erases = m_Settings.m_wFirmware < 0x0300 || Port(0xFF7E) == 0;
    if (!erases) {
        Out(0x4B);
        Out(0x00);
        return;
    }
    m_PCLine.SetPhase(phAutoErase);
    BYTE answer = 0;
    bool got = ChipReceive(&answer, kEraseGraceMs < m_Settings.m_dwEraseWait ? kEraseGraceMs : m_Settings.m_dwEraseWait);
    if (got && answer == 0xFF) {
        Event(ekNote, "the chip's erase failed");
        Out(0x46);
        return;
    }
    Out(0x4B);
    if (!got && m_Settings.m_dwEraseWait > kEraseGraceMs)
        got = ChipReceive(&answer, m_Settings.m_dwEraseWait - kEraseGraceMs);
    if (!got)
        Event(ekNote, "the chip did not confirm an erase");
    Out(!got ? 0x01 : answer == 0xAA ? 0x00 : answer);
}

void CSimKivuBoard::SetupSCI(const std::vector<BYTE>& block)
{
    m_PCLine.SetPhase(phBaudChange);
    const CSimBoardSettings faults = Faults();
    if (++m_dwSCISetups == faults.m_dwResetDetected) {
        Event(ekFault, "the board restarted: 88 instead of an answer");
        if (!faults.m_bSilent)
            Out(0x88);
        ResetBoard();
        m_PCLine.SetTargetRate(9600);
        ChipSetRate(9600);
        return;
    }
    const bool pcLink = block[0] == 0;
    const BYTE code = block[1];
    const bool refused = code > 7 || ((m_Settings.m_wFirmware >> 8) == 1 && code > 5);
    if (!BeginAnswer(0x09))
        return;
    if (refused) {
        Event(ekNote, "rate code %u refused", code);
        Out(0x00);
        EndAnswer(0x01);
        return;
    }
    const DWORD rate = kRates[code];
    Out(0x01);
    if (pcLink) {
        const DWORD old = m_PCLine.GetTargetRate();
        Out(0x55);
        m_PCLine.SetTargetRate(rate);
        BYTE b = 0;
        bool intact = true;
        if (m_PCLine.Receive(&b, &intact, kHostByteMs) != lrByte || !intact || b != 0x57) {
            Event(ekViolation, "no 'W' from the host at %lu baud; back to %lu", static_cast<unsigned long>(rate),
                  static_cast<unsigned long>(old));
            m_PCLine.SetTargetRate(old);
            return;
        }
        Out(0x59);
        EndAnswer(0x00);
        return;
    }
    Out(0x56);
    ChipSetRate(rate);
    BYTE status = 0x00;
    if (m_bCheckPending) {
        // The micro-kernel has changed its rate and waits for the link check.
        m_bCheckPending = false;
        ChipFlush();
        for (BYTE b = 1; b <= 4 && status == 0; ++b) {
            BYTE echo = 0;
            if (!ChipSend(b) || !ChipReceive(&echo, kChipEchoMs) || echo != b)
                status = 0x02;
        }
        Event(ekNote, "link check with the micro-kernel at %lu baud %s", static_cast<unsigned long>(rate),
              status ? "failed" : "passed");
    }
    EndAnswer(status);
}

void CSimKivuBoard::LoadCommand(DWORD count)
{
    if (!BeginAnswer(0x0C))
        return;
    Out(0x00);
    if (count > 0x10000) {
        Out(0x4E);
        return;
    }
    Out(0x44);
    m_LoadedCommand.clear();
    for (DWORD i = 0; i < count; ++i) {
        BYTE b = 0;
        bool intact = true;
        if (m_PCLine.Receive(&b, &intact, kHostByteMs) != lrByte)
            return;
        m_LoadedCommand.push_back(b);
        Out(b);
    }
    Out(0x4B);
    EndAnswer(0x00);
}

// ---- transparent mode -------------------------------------------------------

BYTE CSimKivuBoard::BaudCommand() const
{
    const WORD v = m_Settings.m_wFirmware;
    return v >= 0x0103 && v <= 0x0106 ? 0x09 : 0x04;
}

void CSimKivuBoard::Exit(const char* why)
{
    m_bTransparent = false;
    m_bModeByte = false;
    Event(ekNote, "transparent mode ends (%s): exit signal 66", why);
    Out(0x66);
}

void CSimKivuBoard::BaudChangeExchange()
{
    // The board has the micro-kernel change its rate and carries the BRR
    // values across; the link check at the new rate is the board's own, at
    // the SCI set-up of its link to the chip.
    m_PCLine.SetPhase(phBaudChange);
    BYTE brr = 0;
    if (!ChipSend(0x44) || !ChipSend(0x04) || !ChipReceive(&brr, kChipEchoMs)) {
        Event(ekNote, "the micro-kernel did not send its BRR value");
        return;
    }
    Out(brr);
    BYTE next = 0;
    bool intact = true;
    if (m_PCLine.Receive(&next, &intact, kHostByteMs) != lrByte) {
        Event(ekViolation, "no new BRR value from the host");
        return;
    }
    ChipSend(next);
    m_bCheckPending = true;
    Exit("the micro-kernel changed its rate");
}

void CSimKivuBoard::Relay()
{
    m_PCLine.SetPhase(phIdle);
    BYTE b = 0;
    while (ChipReceive(&b, 0))
        Out(b);
    if (m_target.GetStartCount() != m_dwStartsSeen) {
        m_Held.clear();
        Exit("the chip restarted");
        return;
    }
    bool intact = true;
    const eSimLineResult r = m_PCLine.Receive(&b, &intact, 1);
    if (r != lrByte) {
        if (!m_Held.empty() && std::chrono::steady_clock::now() - m_heldSince >= std::chrono::milliseconds(kOwnFrameGapMs))
            ReleaseHeld();
        return;
    }
    // The board keeps listening for its own transparent-mode frame, so that a
    // host that asks for transparent mode again is answered by the board and
    // the chip never sees the frame.
    if (intact && b == kOwnFrame[m_Held.size()]) {
        if (m_Held.empty())
            m_heldSince = std::chrono::steady_clock::now();
        m_Held.push_back(b);
        if (m_Held.size() == sizeof kOwnFrame) {
            m_Held.clear();
            Event(ekNote, "transparent-mode frame while relaying: answered, still transparent");
            Answer(0x08, {}, 0x00);
        }
        return;
    }
    ReleaseHeld();
    if (intact && b == kOwnFrame[0]) {
        m_heldSince = std::chrono::steady_clock::now();
        m_Held.push_back(b);
        return;
    }
    Forward(b);
}

void CSimKivuBoard::ReleaseHeld()
{
    std::vector<BYTE> held;
    held.swap(m_Held);
    for (BYTE h : held)
        Forward(h);
}

void CSimKivuBoard::Forward(BYTE b)
{
    if (m_bModeByte) {
        if (m_bEscape) {
            m_bEscape = false;
            if (b == BaudCommand()) {
                BaudChangeExchange();
                return;
            }
            ChipSend(0x55);
        } else if (b == 0x55) {
            m_bEscape = true;
            return;
        }
    }
    ChipSend(b);
}
