#include "devicedb/DeviceInfo.h"

#include <bit>
#include <filesystem>

#include "devicedb/ConfigFile.h"
#include "platform/Archive.h"
#include "platform/HostUI.h"

ZF_IMPLEMENT_SERIAL(CDeviceInfo)

CString CDeviceInfo::s_KernelRootPath;

namespace fs = std::filesystem;

namespace {
const char* const kDeviceInfo = "Device Info";
const char* const kKernelInfo = "Kernel Info";
const char* const kBlockClass = "CBlockItem";

bool SameStrings(const CString* a, const CString* b, int n)
{
    for (int i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

bool SameWords(const DWORD* a, const DWORD* b, int n)
{
    for (int i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// Reads the record's keys ("Device Info" unless told). A key present but
// empty reads as missing: a scratch value shared by the keys of one kind
// would repeat the number read before it (an empty "FLASH ROM Size" would
// become the RAM size).
class CDeviceKeys
{
public:
    explicit CDeviceKeys(const CConfigFile& file) : m_file(file) {}
    int Int(const char* pszKey) const
    {
        int n = 0;
        m_file.GetInt(kDeviceInfo, pszKey, 0, &n);
        return n;
    }
    unsigned long Unsigned(const char* pszKey) const
    {
        unsigned long u = 0;
        m_file.GetUnsigned(kDeviceInfo, pszKey, 0, &u, false);
        return u;
    }
    float Float(const char* pszKey) const
    {
        float f = 0.0f;
        m_file.GetFloat(kDeviceInfo, pszKey, 0.0f, &f);
        return f;
    }
    void Text(const char* pszKey, CString& value, const char* pszDefault = "", const char* pszSection = kDeviceInfo) const
    {
        m_file.GetString(pszSection, pszKey, pszDefault, value);
    }

private:
    const CConfigFile& m_file;
};

// The kernel and module files, read one after the other in this order.
const struct
{
    const char* pszKey;
    CString CDeviceInfo::*pField;
} kFileKeys[] = {
    {"uKernel", &CDeviceInfo::m_strMicroKernel},
    {"USER uKernel", &CDeviceInfo::m_strUserMicroKernel},
    {"Main Kernel", &CDeviceInfo::m_strMainKernel},
    {"USER Main Kernel", &CDeviceInfo::m_strUserMainKernel},
    {"CheckBlank module", &CDeviceInfo::m_strCheckBlankModule},
    {"Erase module", &CDeviceInfo::m_strEraseModule},
    {"Read module", &CDeviceInfo::m_strReadModule},
    {"Verify module", &CDeviceInfo::m_strVerifyModule},
    {"Write module", &CDeviceInfo::m_strWriteModule},
    {"Default Interface", &CDeviceInfo::m_strDefaultInterface},
};

// Everything before the erase blocks: board, kernels, sizes, rates, JTAG.
void ReadKernelKeys(const CDeviceKeys& keys, CDeviceInfo& info)
{
    info.m_byKernelHandshake = static_cast<BYTE>(keys.Int("Kernel Handshake"));
    keys.Text("EVB Name", info.m_strEVBName);
    keys.Text("Base Device", info.m_strBaseDevice, "", kKernelInfo);
    info.m_dEVBClock = keys.Float("EVB Clock MHz");
    for (const auto& k : kFileKeys)
        keys.Text(k.pszKey, info.*k.pField);
    info.m_dwRAMSize = static_cast<DWORD>(keys.Unsigned("RAM Size"));
    info.m_dwFLASHROMSize = static_cast<DWORD>(keys.Unsigned("FLASH ROM Size"));
    keys.Text("BRR Formula", info.m_strBRRFormula, "ctSimpleDivide");
    BaudCalcTypeFromText(info.m_strBRRFormula, &info.m_eBRRFormula);
    info.m_dwBaudRate0 = static_cast<DWORD>(keys.Unsigned("Baud Rate 0"));
    info.m_bJTAGAvailable = keys.Int("JTAG Available");
    info.m_wJTAGDefaultTCKDiv = static_cast<WORD>(keys.Unsigned("JTAG Default TCKDiv"));
    info.m_wJTAGDefaultCLK = static_cast<WORD>(keys.Unsigned("JTAG Default CLK"));
    info.m_bBOOTModeAutoErase = keys.Int("BOOT Mode Auto Erase");
}

// Everything after the erase blocks: protocol and codes.
void ReadCodeKeys(const CDeviceKeys& keys, CDeviceInfo& info)
{
    info.m_nProtocol = keys.Int("Protocol");
    keys.Text("Technology", info.m_strTechnology);
    keys.Text("Device Code", info.m_strDeviceCode);
    keys.Text("Product Code", info.m_strProductCode);
    info.m_nMainFunctionOverlay = keys.Int("Main Function Overlay");
}

int EraseBlockCount(const CConfigFile& file, const CString& path)
{
    int count = 0;
    file.GetInt(kDeviceInfo, "Erase Block Count", 0, &count);
    if (count > CDeviceInfo::kMaxEraseBlocks) {
        CString text;
        text.Format("Device definition '%s' asks for %d erase blocks; only the first %d are read", path.GetString(),
                    count, CDeviceInfo::kMaxEraseBlocks);
        GetHostUI().ShowStatus(skWarning, text, 0);
        count = CDeviceInfo::kMaxEraseBlocks;
    }
    return count;
}

CBlockItem* ReadEraseBlock(const CConfigFile& file, int index)
{
    CString section;
    section.Format("Erase Block %d", index);
    CString name;
    unsigned long start = 0, size = 0;
    int ebr0 = 0, ebr1 = 0, ebr2 = 0;
    // Every key of a missing section reads as its default: a count far
    // beyond the blocks given costs one look each, not six.
    if (!file.HasSection(section))
        return new CBlockItem(name, 0, 0, 0, 0, 0);
    file.GetString(section, "Block Name", "", name);
    file.GetUnsigned(section, "Start (Hex)", 0, &start, true);
    file.GetUnsigned(section, "Size (Hex)", 0, &size, true);
    file.GetInt(section, "EBR0", 0, &ebr0);
    file.GetInt(section, "EBR1", 0, &ebr1);
    file.GetInt(section, "EBR2", 0, &ebr2);
    return new CBlockItem(name, static_cast<long>(start), static_cast<long>(size), static_cast<BYTE>(ebr0),
                          static_cast<BYTE>(ebr1), static_cast<BYTE>(ebr2));
}

void ReadEraseBlocks(const CConfigFile& file, const CString& path, CObList& blocks)
{
    const int count = EraseBlockCount(file, path);
    for (int i = 0; i < count; ++i)
        blocks.AddTail(ReadEraseBlock(file, i));
}
} // namespace

bool BaudCalcTypeFromText(const CString& text, BaudCalcType* pType)
{
    static const struct
    {
        const char* pszName;
        BaudCalcType type;
    } kFormulas[] = {
        {"ctSimpleDivide", ctSimpleDivide},
        {"ctPavFormula", ctPavFormula},
        {"ctLomFormula", ctLomFormula},
        {"ctRivFormula", ctRivFormula},
    };
    for (const auto& f : kFormulas) {
        if (text == f.pszName) {
            if (pType)
                *pType = f.type;
            return true;
        }
    }
    return false;
}

CDeviceInfo::CDeviceInfo(const CDeviceInfo* pSource, const CString&)
{
    if (!pSource)
        return;
    m_byKernelHandshake = pSource->m_byKernelHandshake;
    m_strEVBName = pSource->m_strEVBName;
    m_strBaseDevice = pSource->m_strBaseDevice;
    m_strMicroKernel = pSource->m_strMicroKernel;
    m_strUserMicroKernel = pSource->m_strUserMicroKernel;
    m_strMainKernel = pSource->m_strMainKernel;
    m_strUserMainKernel = pSource->m_strUserMainKernel;
    m_dwBaudRate0 = pSource->m_dwBaudRate0;
    m_eBRRFormula = pSource->m_eBRRFormula;
    m_strBRRFormula = pSource->m_strBRRFormula;
    m_strCheckBlankModule = pSource->m_strCheckBlankModule;
    m_strEraseModule = pSource->m_strEraseModule;
    m_dwRAMSize = pSource->m_dwRAMSize;
    m_strReadModule = pSource->m_strReadModule;
    m_strVerifyModule = pSource->m_strVerifyModule;
    m_strWriteModule = pSource->m_strWriteModule;
    m_strDefaultInterface = pSource->m_strDefaultInterface;
    m_dwFLASHROMSize = pSource->m_dwFLASHROMSize;
    m_bJTAGAvailable = pSource->m_bJTAGAvailable;
    m_wJTAGDefaultTCKDiv = pSource->m_wJTAGDefaultTCKDiv;
    m_wJTAGDefaultCLK = pSource->m_wJTAGDefaultCLK;
    m_bBOOTModeAutoErase = pSource->m_bBOOTModeAutoErase;
    for (const CObject* p : pSource->m_EraseBlocks)
        m_EraseBlocks.AddTail(new CBlockItem(static_cast<const CBlockItem*>(p)));
    m_dEVBClock = pSource->m_dEVBClock;
    m_nProtocol = pSource->m_nProtocol;
    m_strTechnology = pSource->m_strTechnology;
    for (int i = 0; i < 4; ++i) {
        m_dwReserved1[i] = pSource->m_dwReserved1[i];
        m_strReserved[i] = pSource->m_strReserved[i];
        m_dwReserved2[i] = pSource->m_dwReserved2[i];
    }
    m_strDeviceCode = pSource->m_strDeviceCode;
    m_strProductCode = pSource->m_strProductCode;
    m_nMainFunctionOverlay = pSource->m_nMainFunctionOverlay;
    m_strDefinitionFolder = pSource->m_strDefinitionFolder;
}

CDeviceInfo::~CDeviceInfo()
{
    ClearEraseBlocks();
}

void CDeviceInfo::ClearEraseBlocks()
{
    m_EraseBlocks.DeleteAll();
}

void CDeviceInfo::ResetForLoad(const CString& path)
{
    // A second load must not keep texts or blocks of the first: the text readers
    // leave their output alone when a key is missing.
    for (CString* s : {&m_strEVBName, &m_strBaseDevice, &m_strMicroKernel, &m_strUserMicroKernel, &m_strMainKernel,
                       &m_strUserMainKernel, &m_strCheckBlankModule, &m_strEraseModule, &m_strReadModule,
                       &m_strVerifyModule, &m_strWriteModule, &m_strDefaultInterface, &m_strBRRFormula,
                       &m_strTechnology, &m_strDeviceCode, &m_strProductCode})
        s->Empty();
    ClearEraseBlocks();
    m_eBRRFormula = ctSimpleDivide;
    m_strDefinitionFolder.Empty();
    if (!path.IsEmpty()) {
        std::error_code ec;
        const fs::path absolute = fs::absolute(fs::path(path.str()), ec);
        if (!ec)
            m_strDefinitionFolder = absolute.lexically_normal().parent_path().string();
    }
}

void CDeviceInfo::LoadDeviceInfo(CString path)
{
    CConfigFile file;
    // Without a file every read below gives its default.
    file.SetFileName(path);
    ResetForLoad(path);
    CDeviceKeys keys(file);
    ReadKernelKeys(keys, *this);
    ReadEraseBlocks(file, path, m_EraseBlocks);
    ReadCodeKeys(keys, *this);
}

void CDeviceInfo::Serialize(CArchive& ar)
{
    if (ar.IsStoring()) {
        ar << m_byKernelHandshake << m_strEVBName << m_strMicroKernel << m_strMainKernel << m_strUserMicroKernel
           << m_strUserMainKernel << m_dwBaudRate0 << m_strBRRFormula << m_strCheckBlankModule << m_strEraseModule
           << m_dwRAMSize << m_strReadModule << m_strVerifyModule << m_strWriteModule << m_strDefaultInterface
           << m_dwFLASHROMSize << static_cast<int>(m_bJTAGAvailable) << m_wJTAGDefaultTCKDiv << m_wJTAGDefaultCLK
           << static_cast<int>(m_bBOOTModeAutoErase) << m_strBaseDevice << m_dEVBClock
           << static_cast<int>(m_nProtocol) << m_strTechnology;
        for (DWORD w : m_dwReserved1)
            ar << w;
        ar << m_strDeviceCode << m_strProductCode;
        for (const CString& s : m_strReserved)
            ar << s;
        for (DWORD w : m_dwReserved2)
            ar << w;
        ar << static_cast<int>(m_nMainFunctionOverlay);
    } else {
        int jtag = 0, autoErase = 0, protocol = 0, overlay = 0;
        ar >> m_byKernelHandshake >> m_strEVBName >> m_strMicroKernel >> m_strMainKernel >> m_strUserMicroKernel
            >> m_strUserMainKernel >> m_dwBaudRate0 >> m_strBRRFormula;
        BaudCalcTypeFromText(m_strBRRFormula, &m_eBRRFormula);
        ar >> m_strCheckBlankModule >> m_strEraseModule >> m_dwRAMSize >> m_strReadModule >> m_strVerifyModule
            >> m_strWriteModule >> m_strDefaultInterface >> m_dwFLASHROMSize >> jtag >> m_wJTAGDefaultTCKDiv
            >> m_wJTAGDefaultCLK >> autoErase >> m_strBaseDevice >> m_dEVBClock >> protocol >> m_strTechnology;
        for (DWORD& w : m_dwReserved1)
            ar >> w;
        ar >> m_strDeviceCode >> m_strProductCode;
        for (CString& s : m_strReserved)
            ar >> s;
        for (DWORD& w : m_dwReserved2)
            ar >> w;
        ar >> overlay;
        m_bJTAGAvailable = jtag;
        m_bBOOTModeAutoErase = autoErase;
        m_nProtocol = protocol;
        m_nMainFunctionOverlay = overlay;
    }
    SerializeEraseBlocks(ar);
}

void CDeviceInfo::SerializeEraseBlocks(CArchive& ar)
{
    if (ar.IsStoring()) {
        m_EraseBlocks.Serialize(ar);
        return;
    }
    // The list's archive form, read here rather than through the generic list
    // loader: only erase blocks may enter this list, so an archive naming any
    // other class ends the list instead of creating (and nesting) other objects.
    ClearEraseBlocks();
    DWORD count = 0;
    ar >> count;
    for (DWORD i = 0; i < count && !ar.HasFailed(); ++i) {
        CString className;
        ar >> className;
        if (ar.HasFailed() || className != kBlockClass)
            break;
        auto* pBlock = new CBlockItem;
        pBlock->Serialize(ar);
        if (ar.HasFailed()) {
            delete pBlock;
            break;
        }
        m_EraseBlocks.AddTail(pBlock);
    }
}

CString CDeviceInfo::ResolvePath(const CString& entry) const
{
    if (entry.IsEmpty())
        return entry;
    std::string text = entry.str();
    for (char& ch : text)
        if (ch == '\\')
            ch = '/';
    const fs::path p(text);
    if (p.is_absolute())
        return CString(p.string());
    std::error_code ec;
    const fs::path base = m_strDefinitionFolder.IsEmpty() ? fs::current_path(ec) : fs::path(m_strDefinitionFolder.str());
    return CString((base / p).lexically_normal().string());
}

bool CDeviceInfo::HasSameDefinition(const CDeviceInfo& o) const
{
    if (m_byKernelHandshake != o.m_byKernelHandshake || m_strEVBName != o.m_strEVBName ||
        m_strBaseDevice != o.m_strBaseDevice || m_strMicroKernel != o.m_strMicroKernel ||
        m_strUserMicroKernel != o.m_strUserMicroKernel || m_strMainKernel != o.m_strMainKernel ||
        m_strUserMainKernel != o.m_strUserMainKernel || m_dwBaudRate0 != o.m_dwBaudRate0 ||
        m_eBRRFormula != o.m_eBRRFormula || m_strBRRFormula != o.m_strBRRFormula ||
        m_strCheckBlankModule != o.m_strCheckBlankModule || m_strEraseModule != o.m_strEraseModule ||
        m_dwRAMSize != o.m_dwRAMSize || m_strReadModule != o.m_strReadModule ||
        m_strVerifyModule != o.m_strVerifyModule || m_strWriteModule != o.m_strWriteModule ||
        m_strDefaultInterface != o.m_strDefaultInterface || m_dwFLASHROMSize != o.m_dwFLASHROMSize ||
        m_bJTAGAvailable != o.m_bJTAGAvailable || m_wJTAGDefaultTCKDiv != o.m_wJTAGDefaultTCKDiv ||
        m_wJTAGDefaultCLK != o.m_wJTAGDefaultCLK || m_bBOOTModeAutoErase != o.m_bBOOTModeAutoErase ||
        std::bit_cast<std::uint64_t>(m_dEVBClock) != std::bit_cast<std::uint64_t>(o.m_dEVBClock) ||
        m_nProtocol != o.m_nProtocol || m_strTechnology != o.m_strTechnology ||
        !SameWords(m_dwReserved1, o.m_dwReserved1, 4) || m_strDeviceCode != o.m_strDeviceCode ||
        m_strProductCode != o.m_strProductCode || !SameStrings(m_strReserved, o.m_strReserved, 4) ||
        !SameWords(m_dwReserved2, o.m_dwReserved2, 4) || m_nMainFunctionOverlay != o.m_nMainFunctionOverlay ||
        m_EraseBlocks.GetCount() != o.m_EraseBlocks.GetCount())
        return false;
    POSITION a = m_EraseBlocks.GetHeadPosition();
    POSITION b = o.m_EraseBlocks.GetHeadPosition();
    while (a && b) {
        const auto* pA = static_cast<const CBlockItem*>(m_EraseBlocks.GetNext(a));
        const auto* pB = static_cast<const CBlockItem*>(o.m_EraseBlocks.GetNext(b));
        if (!pA->HasSameDefinition(*pB))
            return false;
    }
    return true;
}
