#include "sim/SimDefinition.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <strings.h>

#include "platform/PrivateProfile.h"
#include "sim/SimKivuBoard.h"

namespace fs = std::filesystem;

namespace {
const char* const kDeviceInfo = "Device Info";
const char* const kSimulator = "Simulator";

// Limits that keep a hostile definition from exhausting memory.
constexpr DWORD kMaxFLASHSize = 64u << 20;
constexpr DWORD kMaxRAMSize = 0x10000; // classic kernels address RAM with 16 bits
constexpr int kMaxBlocks = 1024;

CString Trimmed(CString s)
{
    s.Trim();
    return s;
}

// A whole number, decimal or with a 0x prefix hexadecimal; nothing else may follow.
bool ParseNumber(const CString& text, DWORD* pValue)
{
    CString t = Trimmed(text);
    if (t.IsEmpty())
        return false;
    int base = 10;
    const char* p = t.GetString();
    if (t.GetLength() > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    if (*p == '-' || *p == '+')
        return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(p, &end, base);
    if (end == p || *end != '\0' || errno == ERANGE || v > 0xFFFFFFFFull)
        return false;
    *pValue = static_cast<DWORD>(v);
    return true;
}

bool ParseBool(const CString& text, bool* pValue)
{
    const CString t = Trimmed(text);
    for (const char* yes : {"1", "true", "yes", "on"})
        if (t.CompareNoCase(yes) == 0)
            return *pValue = true, true;
    for (const char* no : {"0", "false", "no", "off"})
        if (t.CompareNoCase(no) == 0)
            return *pValue = false, true;
    return false;
}

// The definition's integers as its reader takes them: "True"/"False", else the
// leading decimal number, else the default.
long DefinitionInt(const CString& path, const char* section, const char* key, long nDefault)
{
    const CString t = Trimmed(GetPrivateProfileStringA(section, key, "", path));
    if (t.IsEmpty())
        return nDefault;
    if (t.CompareNoCase("true") == 0)
        return 1;
    if (t.CompareNoCase("false") == 0)
        return 0;
    char* end = nullptr;
    const long v = std::strtol(t.GetString(), &end, 10);
    return end == t.GetString() ? nDefault : v;
}

DWORD DefinitionUnsigned(const CString& path, const char* section, const char* key, int base)
{
    CString t = Trimmed(GetPrivateProfileStringA(section, key, "", path));
    const char* p = t.GetString();
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
        p += 2;
    return static_cast<DWORD>(std::strtoul(p, nullptr, base));
}

// "\r", "\n", "\t", "\\" and "\xNN" in a text setting.
CString Unescape(const CString& text)
{
    std::string out;
    const std::string& s = text.str();
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            out += s[i];
            continue;
        }
        const char c = s[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::strtoul(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return CString(out);
}

bool IsBootRate(DWORD rate)
{
    return rate == 1200 || rate == 2400 || rate == 4800 || rate == 9600 || rate == 19200;
}


// [Simulator] keys read one by one below; those of the tables are added to them.
constexpr const char* kSimulatorKeys[] = {
    "Start Mode", "Boot Rate", "BRR", "Resident Rate", "Clock MHz", "Kernel Word", "Line Size", "Work Area",
    "Bit Fields", "Handshake", "USER RAM Top", "User Command", "User Command Baud", "FLASH Fill", "Rate Tolerance",
    "Boot Answer", "Fault Delay", "Fault Phase",
};

// Kernel and module files of [Device Info].
constexpr struct
{
    const char* key;
    CString CSimDefinition::*field;
} kKernelFiles[] = {
    {"uKernel", &CSimDefinition::m_strMicroKernel},
    {"USER uKernel", &CSimDefinition::m_strUserMicroKernel},
    {"Main Kernel", &CSimDefinition::m_strMainKernel},
    {"USER Main Kernel", &CSimDefinition::m_strUserMainKernel},
    {"Write module", &CSimDefinition::m_strWriteModule},
    {"Erase module", &CSimDefinition::m_strEraseModule},
    {"Read module", &CSimDefinition::m_strReadModule},
    {"CheckBlank module", &CSimDefinition::m_strCheckBlankModule},
};

// Times in milliseconds.
constexpr struct
{
    const char* key;
    DWORD CSimDefinition::*field;
    DWORD nDefault;
    DWORD nMax;
} kTimes[] = {
    {"Erase Time", &CSimDefinition::m_dwEraseTime, 0, 600000},
    {"Auto Erase Time", &CSimDefinition::m_dwAutoEraseTime, 0, 600000},
    {"Byte Timeout", &CSimDefinition::m_dwByteTimeout, 1000, 600000},
    {"Reply Timeout", &CSimDefinition::m_dwReplyTimeout, 30000, 3600000},
};

constexpr struct
{
    const char* key;
    bool CSimDefinition::*field;
} kBehaviours[] = {
    {"Fail Overwrite", &CSimDefinition::m_bFailOverwrite},
    {"Throttle", &CSimDefinition::m_bThrottle},
};

constexpr struct
{
    const char* key;
    bool CSimFaults::*field;
} kFaultFlags[] = {
    {"Wrong Handshake", &CSimFaults::m_bWrongHandshake},
    {"User Kernel Running", &CSimFaults::m_bUserKernelRunning},
    {"Fail Auto Erase", &CSimFaults::m_bFailAutoErase},
    {"Repeat Boot Answer", &CSimFaults::m_bRepeatBootAnswer},
};

// Mostly which event (counted from 1) a fault strikes; 0: never.
constexpr struct
{
    const char* key;
    DWORD CSimFaults::*field;
    DWORD nDefault;
} kFaultCounts[] = {
    {"Drop Host Byte", &CSimFaults::m_dwDropHostByte, 0},
    {"Corrupt Host Byte", &CSimFaults::m_dwCorruptHostByte, 0},
    {"Drop Target Byte", &CSimFaults::m_dwDropTargetByte, 0},
    {"Corrupt Target Byte", &CSimFaults::m_dwCorruptTargetByte, 0},
    {"Stop After Host Bytes", &CSimFaults::m_dwStopAfterHostBytes, 0},
    {"Fail Erase", &CSimFaults::m_dwFailErase, 0},
    {"Fail Write", &CSimFaults::m_dwFailWrite, 0},
    {"Fail Write Chunk", &CSimFaults::m_dwFailWriteChunk, 0},
    {"Accept Write Chunk", &CSimFaults::m_dwAcceptWriteChunk, 0},
    {"Fail Status", &CSimFaults::m_dwFailStatus, 0},
    {"Erase Polls", &CSimFaults::m_dwErasePolls, 2},
    {"Corrupt Erase Registers", &CSimFaults::m_dwCorruptEraseRegisters, 0},
    {"Lose Read Acknowledge", &CSimFaults::m_dwLoseReadAck, 0},
    {"Corrupt Read Reply", &CSimFaults::m_dwCorruptReadReply, 0},
    {"Late Boot Answer", &CSimFaults::m_dwLateBootAnswer, 0},
    {"Delay Host Byte", &CSimFaults::m_dwDelayHostByte, 0},
    {"Delay Target Byte", &CSimFaults::m_dwDelayTargetByte, 0},
    {"Duplicate Host Byte", &CSimFaults::m_dwDuplicateHostByte, 0},
    {"Duplicate Target Byte", &CSimFaults::m_dwDuplicateTargetByte, 0},
    {"Flip Read Bit", &CSimFaults::m_dwFlipReadBit, 0},
};
} // namespace

const std::vector<const char*>& CSimDefinition::SimulatorKeys()
{
    static const std::vector<const char*> kKeys = [] {
        std::vector<const char*> keys(std::begin(kSimulatorKeys), std::end(kSimulatorKeys));
        for (const auto& k : kTimes)
            keys.push_back(k.key);
        for (const auto& k : kBehaviours)
            keys.push_back(k.key);
        for (const auto& k : kFaultFlags)
            keys.push_back(k.key);
        for (const auto& k : kFaultCounts)
            keys.push_back(k.key);
        return keys;
    }();
    return kKeys;
}

const char* CSimDefinition::StartModeName(eSimStartMode mode)
{
    switch (mode) {
    case smBoot:
        return "BOOT";
    case smUser:
        return "USER";
    case smBootResident:
        return "BOOT Resident";
    case smUserResident:
        return "USER Resident";
    }
    return "?";
}

bool CSimDefinition::ParseOverride(const CString& text, std::pair<CString, CString>* pOverride)
{
    const int eq = text.Find('=');
    if (eq <= 0)
        return false;
    pOverride->first = Trimmed(text.Left(eq));
    pOverride->second = Trimmed(text.Mid(eq + 1));
    return !pOverride->first.IsEmpty();
}

CString CSimDefinition::Simulator(const char* key, const char* strDefault) const
{
    // The last override of a key wins, as on a command line.
    for (auto it = m_Overrides.rbegin(); it != m_Overrides.rend(); ++it)
        if (it->first.CompareNoCase(key) == 0)
            return it->second;
    return GetPrivateProfileStringA(kSimulator, key, strDefault, m_strPath);
}

bool CSimDefinition::SimNumber(const char* key, DWORD nDefault, DWORD nMax, DWORD* pValue, CString* pError) const
{
    const CString text = Trimmed(Simulator(key, ""));
    if (text.IsEmpty()) {
        *pValue = nDefault;
        return true;
    }
    DWORD v = 0;
    if (!ParseNumber(text, &v)) {
        pError->Format("[Simulator] \"%s\": '%s' is not a number", key, text.GetString());
        return false;
    }
    if (v > nMax) {
        pError->Format("[Simulator] \"%s\": %lu is above the largest allowed value %lu", key,
                       static_cast<unsigned long>(v), static_cast<unsigned long>(nMax));
        return false;
    }
    *pValue = v;
    return true;
}

bool CSimDefinition::ReadFaultPhase(CString* pError)
{
    // Phases by their transcript names, so a fault is aimed with what the transcript shows.
    const CString text = Trimmed(Simulator("Fault Phase", ""));
    m_Faults.m_eFaultPhase = phPhaseCount;
    if (text.IsEmpty())
        return true;
    for (int p = 0; p < phPhaseCount; ++p)
        if (text.CompareNoCase(CSimTranscript::PhaseName(static_cast<eSimPhase>(p))) == 0) {
            m_Faults.m_eFaultPhase = static_cast<eSimPhase>(p);
            return true;
        }
    pError->Format("[Simulator] \"Fault Phase\": '%s' is no phase of the transcript", text.GetString());
    return false;
}

CString CSimDefinition::ResolvePath(const CString& entry) const
{
    CString t = Trimmed(entry);
    if (t.IsEmpty())
        return t;
    t.Replace('\\', '/');
    const fs::path p(t.str());
    if (p.is_absolute())
        return t;
    return CString((fs::path(m_strFolder.str()) / p).lexically_normal().string());
}

bool CSimDefinition::Load(const CString& path, const CSimOverrides& overrides, CString* pError)
{
    CString dummy;
    if (!pError)
        pError = &dummy;
    *this = CSimDefinition();
    m_Overrides = overrides;

    std::error_code ec;
    if (path.IsEmpty() || !fs::is_regular_file(path.str(), ec)) {
        pError->Format("cannot read the device definition '%s'", path.GetString());
        return false;
    }
    m_strPath = CString(fs::absolute(path.str(), ec).lexically_normal().string());
    m_strFolder = CString(fs::path(m_strPath.str()).parent_path().string());
    return CheckOverrides(pError) && ReadDevice(pError) && ReadBlocks(pError) && ReadStart(pError) &&
           ReadRates(pError) && ReadKernelShape(pError) && ReadFaults(pError);
}

bool CSimDefinition::CheckOverrides(CString* pError) const
{
    for (const auto& o : m_Overrides) {
        bool known = CSimBoardSettings::IsKey(o.first);
        for (const char* key : SimulatorKeys())
            known = known || o.first.CompareNoCase(key) == 0;
        if (!known) {
            pError->Format("unknown simulator setting '%s'", o.first.GetString());
            return false;
        }
    }
    return true;
}

bool CSimDefinition::ReadDevice(CString* pError)
{
    const CString& f = m_strPath;
    m_strName = Trimmed(GetPrivateProfileStringA(kDeviceInfo, "Device Code", "", f));
    if (m_strName.IsEmpty())
        m_strName = CString(fs::path(f.str()).stem().string());
    const long protocol = DefinitionInt(f, kDeviceInfo, "Protocol", 0);
    if (protocol != 0 && protocol != 1) {
        pError->Format("%s: \"Protocol\" %ld is neither 0 (classic) nor 1 (Protocol B)", m_strName.GetString(), protocol);
        return false;
    }
    m_bProtocolB = protocol == 1;
    m_bOverlay = DefinitionInt(f, kDeviceInfo, "Main Function Overlay", 0) != 0;
    if (m_bProtocolB && m_bOverlay) {
        pError->Format("%s: a Protocol B device with a main function overlay is not a chip this target knows",
                       m_strName.GetString());
        return false;
    }
    m_byKernelHandshake = static_cast<BYTE>(DefinitionInt(f, kDeviceInfo, "Kernel Handshake", 0));
    m_dClockMHz = std::strtod(Trimmed(GetPrivateProfileStringA(kDeviceInfo, "EVB Clock MHz", "0", f)).GetString(), nullptr);
    const CString formula = Trimmed(GetPrivateProfileStringA(kDeviceInfo, "BRR Formula", "ctSimpleDivide", f));
    if (!CSimBaud::FormulaFromText(formula, &m_eFormula)) {
        pError->Format("%s: unknown \"BRR Formula\" '%s'", m_strName.GetString(), formula.GetString());
        return false;
    }
    m_dwRAMSize = DefinitionUnsigned(f, kDeviceInfo, "RAM Size", 10);
    m_dwFLASHSize = DefinitionUnsigned(f, kDeviceInfo, "FLASH ROM Size", 10);
    m_dwBaudRate0 = DefinitionUnsigned(f, kDeviceInfo, "Baud Rate 0", 10);
    m_bAutoErase = DefinitionInt(f, kDeviceInfo, "BOOT Mode Auto Erase", 0) != 0;
    if (m_dwRAMSize == 0 || m_dwRAMSize > kMaxRAMSize) {
        pError->Format("%s: \"RAM Size\" must be 1 to %lu bytes", m_strName.GetString(),
                       static_cast<unsigned long>(kMaxRAMSize));
        return false;
    }
    if (m_dwFLASHSize == 0 || m_dwFLASHSize > kMaxFLASHSize) {
        pError->Format("%s: \"FLASH ROM Size\" must be 1 to %lu bytes", m_strName.GetString(),
                       static_cast<unsigned long>(kMaxFLASHSize));
        return false;
    }
    for (const auto& file : kKernelFiles)
        this->*file.field = ResolvePath(GetPrivateProfileStringA(kDeviceInfo, file.key, "", f));
    return true;
}

bool CSimDefinition::ReadBlocks(CString* pError)
{
    const CString& f = m_strPath;
    const long count = DefinitionInt(f, kDeviceInfo, "Erase Block Count", 0);
    if (count <= 0 || count > kMaxBlocks) {
        pError->Format("%s: \"Erase Block Count\" must be 1 to %d", m_strName.GetString(), kMaxBlocks);
        return false;
    }
    for (long i = 0; i < count; ++i) {
        CString section;
        section.Format("Erase Block %ld", i);
        CSimBlock b;
        b.m_strName = Trimmed(GetPrivateProfileStringA(section, "Block Name", "", f));
        b.m_dwStart = DefinitionUnsigned(f, section, "Start (Hex)", 16);
        b.m_dwSize = DefinitionUnsigned(f, section, "Size (Hex)", 16);
        b.m_byEBR[0] = static_cast<BYTE>(DefinitionInt(f, section, "EBR0", 0));
        b.m_byEBR[1] = static_cast<BYTE>(DefinitionInt(f, section, "EBR1", 0));
        b.m_byEBR[2] = static_cast<BYTE>(DefinitionInt(f, section, "EBR2", 0));
        if (b.m_dwSize == 0 || b.m_dwStart >= m_dwFLASHSize || b.m_dwSize > m_dwFLASHSize - b.m_dwStart) {
            pError->Format("%s: [%s] lies outside the FLASH (start H'%08lX, size H'%08lX)", m_strName.GetString(),
                           section.GetString(), static_cast<unsigned long>(b.m_dwStart),
                           static_cast<unsigned long>(b.m_dwSize));
            return false;
        }
        for (const CSimBlock& o : m_Blocks) {
            if (b.m_dwStart < o.m_dwStart + o.m_dwSize && o.m_dwStart < b.m_dwStart + b.m_dwSize) {
                pError->Format("%s: [%s] overlaps block '%s'", m_strName.GetString(), section.GetString(),
                               o.m_strName.GetString());
                return false;
            }
        }
        m_Blocks.push_back(b);
    }
    return true;
}

bool CSimDefinition::ReadStart(CString* pError)
{
    const CString mode = Trimmed(Simulator("Start Mode", "BOOT"));
    bool modeKnown = false;
    for (eSimStartMode m : {smBoot, smUser, smBootResident, smUserResident}) {
        if (mode.CompareNoCase(StartModeName(m)) == 0) {
            m_eStartMode = m;
            modeKnown = true;
        }
    }
    if (!modeKnown) {
        pError->Format("[Simulator] \"Start Mode\": '%s' is none of BOOT, USER, BOOT Resident, USER Resident",
                       mode.GetString());
        return false;
    }
    if (m_bProtocolB && m_eStartMode != smBoot) {
        pError->Format("[Simulator] \"Start Mode\": a Protocol B chip starts in its boot program (BOOT), not %s",
                       StartModeName(m_eStartMode));
        return false;
    }
    const CString clock = Trimmed(Simulator("Clock MHz", ""));
    if (!clock.IsEmpty()) {
        char* end = nullptr;
        m_dClockMHz = std::strtod(clock.GetString(), &end);
        if (*end != '\0') {
            pError->Format("[Simulator] \"Clock MHz\": '%s' is not a number", clock.GetString());
            return false;
        }
    }
    if (!(m_dClockMHz > 0.0) || m_dClockMHz > 1000.0) {
        pError->Format("%s: the clock (\"EVB Clock MHz\") must be above 0 and at most 1000 MHz", m_strName.GetString());
        return false;
    }
    return true;
}

bool CSimDefinition::RegisterFor(DWORD rate, BYTE* pBRR, const char* what, CString* pError) const
{
    const double clockHz = m_dClockMHz * 1e6;
    if (CSimBaud::BRRForRate(m_eFormula, clockHz, rate, pBRR) &&
        CSimBaud::RatesMatch(CSimBaud::RateForBRR(m_eFormula, clockHz, *pBRR), rate, m_dwRateTolerance))
        return true;
    pError->Format("%s: a %.4f MHz chip cannot run %s at %lu baud (no 8-bit BRR value gives that rate)",
                   m_strName.GetString(), m_dClockMHz, what, static_cast<unsigned long>(rate));
    return false;
}

bool CSimDefinition::ReadRates(CString* pError)
{
    DWORD v = 0;
    if (!SimNumber("Rate Tolerance", 3, 50, &m_dwRateTolerance, pError))
        return false;
    if (!SimNumber("Boot Rate", 9600, 0xFFFFFFFF, &m_dwBootRate, pError))
        return false;
    if (!IsBootRate(m_dwBootRate)) {
        pError->Format("[Simulator] \"Boot Rate\": %lu is none of 1200, 2400, 4800, 9600, 19200",
                       static_cast<unsigned long>(m_dwBootRate));
        return false;
    }
    if (m_eStartMode == smBoot && !RegisterFor(m_dwBootRate, &m_byBootBRR, "its boot program", pError))
        return false;
    // A board's mode pins can bring any chip into BOOT mode.
    if (m_eStartMode != smBoot) {
        BYTE brr = 0;
        if (CSimBaud::BRRForRate(m_eFormula, m_dClockMHz * 1e6, m_dwBootRate, &brr))
            m_byBootBRR = brr;
    }
    if (!SimNumber("BRR", m_byBootBRR, 255, &v, pError))
        return false;
    m_byBootBRR = static_cast<BYTE>(v);
    if (m_eStartMode == smUser && !RegisterFor(9600, &m_byUserBRR, "its USER-mode loader", pError))
        return false;
    if (!SimNumber("User Command Baud", 9600, 0xFFFFFFFF, &m_dwUserCommandRate, pError))
        return false;
    m_strUserCommand = Unescape(Simulator("User Command", ""));
    if (!SimNumber("Resident Rate", m_dwBaudRate0 ? m_dwBaudRate0 : 9600, 0xFFFFFFFF, &m_dwResidentRate, pError))
        return false;
    if (m_dwResidentRate == 0 || m_dwUserCommandRate == 0) {
        pError->Format("[Simulator]: a line rate of 0 baud");
        return false;
    }
    return true;
}

bool CSimDefinition::ReadKernelShape(CString* pError)
{
    DWORD v = 0;
    if (!SimNumber("Kernel Word", 0x0100, 0xFFFF, &v, pError))
        return false;
    m_wKernelWord = static_cast<WORD>(v);
    if (!SimNumber("Line Size", 128, 0xFFFF, &v, pError))
        return false;
    m_wLineSize = static_cast<WORD>(v);
    if (!SimNumber("Work Area", 256, 0xFFFF, &v, pError))
        return false;
    m_wWorkArea = static_cast<WORD>(v);
    if (m_wWorkArea >= m_dwRAMSize) {
        pError->Format("[Simulator] \"Work Area\": %u bytes leave no RAM of the %lu", m_wWorkArea,
                       static_cast<unsigned long>(m_dwRAMSize));
        return false;
    }
    if (!SimNumber("Bit Fields", 0x0F, 0xFF, &v, pError))
        return false;
    m_byBitFields = static_cast<BYTE>(v);
    if (!SimNumber("Handshake", m_byKernelHandshake, 0xFF, &v, pError))
        return false;
    m_byHandshake = static_cast<BYTE>(v);
    if (!SimNumber("USER RAM Top", m_dwRAMSize > 0xFFFF ? 0xFFFF : m_dwRAMSize, 0xFFFF, &v, pError))
        return false;
    m_wUserRAMTop = static_cast<WORD>(v);
    for (const auto& time : kTimes)
        if (!SimNumber(time.key, time.nDefault, time.nMax, &(this->*time.field), pError))
            return false;
    if (!SimNumber("FLASH Fill", 0xFF, 0xFF, &v, pError))
        return false;
    m_byFLASHFill = static_cast<BYTE>(v);
    return true;
}

bool CSimDefinition::SimFlag(const char* key, bool* pValue, CString* pError) const
{
    const CString text = Trimmed(Simulator(key, ""));
    if (text.IsEmpty() || ParseBool(text, pValue))
        return true;
    pError->Format("[Simulator] \"%s\": '%s' is not 0, 1, True or False", key, text.GetString());
    return false;
}

bool CSimDefinition::ReadFaults(CString* pError)
{
    for (const auto& flag : kBehaviours)
        if (!SimFlag(flag.key, &(this->*flag.field), pError))
            return false;
    for (const auto& flag : kFaultFlags)
        if (!SimFlag(flag.key, &(m_Faults.*flag.field), pError))
            return false;
    for (const auto& c : kFaultCounts)
        if (!SimNumber(c.key, c.nDefault, 0xFFFFFFFF, &(m_Faults.*c.field), pError))
            return false;
    if (m_Faults.m_dwErasePolls > 1000000) {
        pError->Format("[Simulator] \"Erase Polls\": at most 1000000");
        return false;
    }
    if (!SimNumber("Fault Delay", 500, 600000, &m_Faults.m_dwFaultDelay, pError) || !ReadFaultPhase(pError))
        return false;
    const CString answer = Trimmed(Simulator("Boot Answer", "AA"));
    if (answer.CompareNoCase("AA") == 0 || answer.CompareNoCase("0xAA") == 0)
        m_Faults.m_eBootAnswer = baAcknowledge;
    else if (answer.CompareNoCase("FF") == 0 || answer.CompareNoCase("0xFF") == 0)
        m_Faults.m_eBootAnswer = baEraseFailed;
    else if (answer.CompareNoCase("None") == 0)
        m_Faults.m_eBootAnswer = baSilent;
    else {
        pError->Format("[Simulator] \"Boot Answer\": '%s' is none of AA, FF, None", answer.GetString());
        return false;
    }
    return true;
}
