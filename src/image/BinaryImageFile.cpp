#include "image/BinaryImageFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/stat.h>

#include "image/BinaryImage.h"
#include "platform/HostUI.h"
#include "platform/WireFormat.h"

namespace {
constexpr const char* kNotSRecord = "This file is not an SRecord.  Loading as raw data.";
constexpr const char* kHeaderTemplate = "S00E0000202020202020202020202091";
constexpr size_t kStreamBuffer = 1 << 18;
// A multiple of every chunk size, so chunks of a range start where they would
// if the range were read in one piece.
constexpr DWORD kSavePiece = 60000;
constexpr char kUpper[] = "0123456789ABCDEF";
constexpr char kLower[] = "0123456789abcdef";

struct HexTable
{
    unsigned char value[256] = {};
    constexpr HexTable()
    {
        for (int c = '0'; c <= '9'; ++c)
            value[c] = static_cast<unsigned char>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c)
            value[c] = static_cast<unsigned char>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c)
            value[c] = static_cast<unsigned char>(c - 'A' + 10);
    }
};
constexpr HexTable kHex;

inline unsigned HexByte(const char* p)
{
    return (unsigned(kHex.value[static_cast<unsigned char>(p[0])]) << 4) | kHex.value[static_cast<unsigned char>(p[1])];
}

inline char* PutHex(char* p, unsigned nByte, const char* digits)
{
    p[0] = digits[(nByte >> 4) & 0xF];
    p[1] = digits[nByte & 0xF];
    return p + 2;
}

// One data record with nWidth + 1 address bytes and its line end; returns the
// end. The count and address are always written in one case, the data and
// sum in the case pDigits gives.
char* PutSRecord(char* p, int nWidth, DWORD nAddress, const BYTE* pBytes, DWORD nLength, const char* pDigits)
{
    *p++ = 'S';
    *p++ = static_cast<char>('0' + nWidth);
    const unsigned nAddressBytes = static_cast<unsigned>(nWidth) + 1;
    const unsigned nCount = nLength + nAddressBytes + 1;
    p = PutHex(p, nCount, kLower);
    unsigned nSum = nCount;
    for (unsigned i = nAddressBytes; i-- > 0;) {
        const unsigned b = (nAddress >> (8 * i)) & 0xFF;
        nSum += b;
        p = PutHex(p, b, kUpper);
    }
    for (DWORD i = 0; i < nLength; ++i) {
        nSum += pBytes[i];
        p = PutHex(p, pBytes[i], pDigits);
    }
    p = PutHex(p, ~nSum & 0xFF, pDigits);
    *p++ = '\n';
    return p;
}

// Address bytes of a record type character; 0 for types that carry none we know.
int AddressBytes(char type)
{
    switch (type) {
    case '0': case '1': case '9': return 2;
    case '2': case '8': return 3;
    case '3': case '7': return 4;
    default: return 0;
    }
}

bool AllBlank(const BYTE* pBytes, DWORD nLength)
{
    for (DWORD i = 0; i < nLength; ++i)
        if (pBytes[i] != 0xFF)
            return false;
    return true;
}

std::string NameOf(const char* pszPath)
{
    const char* pSlash = std::strrchr(pszPath, '/');
    std::string name = pSlash ? pSlash + 1 : pszPath;
    if (name.size() > 255)
        name.resize(255);
    return name;
}

void SetPane(int nPane, const CString& text)
{
    GetHostUI().SetStatusPane(nPane, text);
}
} // namespace

CBinaryImageFile::CBinaryImageFile() = default;

CBinaryImageFile::~CBinaryImageFile()
{
    CloseFile();
}

// ---------------------------------------------------------------------------
// Opening and closing

FileType CBinaryImageFile::TypeFromExtension(const char* pszPath)
{
    const std::string name = NameOf(pszPath);
    const size_t nDot = name.rfind('.');
    const std::string ext = nDot == std::string::npos ? std::string() : name.substr(nDot + 1);
    if (ext == "fpr")
        return ftFPR;
    if (ext == "cde")
        return ftCDE;
    return ftSRecord;
}

void CBinaryImageFile::OpenAs(const char* pszPath, int bForReading, FileType nType)
{
    CloseFile();
    if (!pszPath)
        return;
    m_strFileName = NameOf(pszPath);
    struct stat st{};
    if (bForReading && ::stat(pszPath, &st) == 0 && !S_ISREG(st.st_mode)) {
        // A directory or device would open and then fail or never end on reading.
        CString text;
        text.Format("Unable to open '%s': %s", pszPath, std::strerror(S_ISDIR(st.st_mode) ? EISDIR : EINVAL));
        DisplayError(text, 0);
        return;
    }
    // POSIX streams make no difference between text and binary mode; the
    // S-record reader takes CR LF and LF line ends itself.
    m_pFile = std::fopen(pszPath, bForReading ? "rb" : "wb");
    if (!m_pFile) {
        CString text;
        text.Format("Unable to open '%s': %s", pszPath, std::strerror(errno));
        DisplayError(text, 0);
        return;
    }
    if (!m_pStreamBuffer)
        m_pStreamBuffer = std::make_unique<char[]>(kStreamBuffer);
    std::setvbuf(m_pFile, m_pStreamBuffer.get(), _IOFBF, kStreamBuffer);
    m_nFileType = nType;
}

void CBinaryImageFile::OpenFile(const char* pszPath, int bForReading)
{
    OpenAs(pszPath, bForReading, pszPath ? TypeFromExtension(pszPath) : ftNone);
}

void CBinaryImageFile::CloseFile()
{
    if (m_pFile) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}

bool CBinaryImageFile::FinishWriting(const char* pszPath)
{
    if (!m_pFile)
        return true;
    const bool bFailed = std::fflush(m_pFile) != 0 || std::ferror(m_pFile);
    const int nError = errno;
    const bool bCloseFailed = std::fclose(m_pFile) != 0;
    m_pFile = nullptr;
    if (!bFailed && !bCloseFailed)
        return true;
    CString text;
    text.Format("Unable to write '%s': %s", pszPath, std::strerror(bFailed ? nError : errno));
    DisplayError(text, 0);
    return false;
}

void CBinaryImageFile::Abort()
{
    m_bAbort = true;
}

char* CBinaryImageFile::GetFileName()
{
    return m_strFileName.data();
}

// ---------------------------------------------------------------------------
// Load and save drivers

void CBinaryImageFile::ReportProgress(int bShowStatus)
{
    if (m_nFileLength > 0) {
        const long nPos = std::ftell(m_pFile);
        if (nPos >= 0)
            GetProgress() = static_cast<DWORD>(std::min<long long>(100, nPos * 100LL / m_nFileLength));
    }
    ShowPercent(bShowStatus);
}

void CBinaryImageFile::ShowPercent(int bShowStatus)
{
    if (bShowStatus) {
        CString text;
        text.Format("%d%%", static_cast<int>(GetProgress().load()));
        SetPane(1, text);
    }
}

void CBinaryImageFile::ShowFileName(const char* pszVerb, int bShowStatus)
{
    if (bShowStatus) {
        CString text;
        text.Format("%s File %s", pszVerb, m_strFileName.c_str());
        SetPane(0, text);
    }
}

void CBinaryImageFile::EndStatus()
{
    GetProgress() = 100;
    SetPane(0, "");
    SetPane(1, "");
}

void CBinaryImageFile::Announce(const char* pszWhat, const char* pszBeforePath, const char* pszPath)
{
    SetProgressString(pszWhat);
    DisplayMessage(CString(pszWhat) + pszBeforePath + pszPath + "'", 0);
}

bool CBinaryImageFile::StartReading(const char* pszPath, bool bRaw)
{
    if (bRaw) {
        Announce("Processing file", " :'", pszPath);
        m_strModuleName = m_strFileName;
        m_nRecordAddress = 0;
        return true;
    }
    switch (m_nFileType) {
    case ftSRecord:
        Announce("Processing S-Record file", " :'", pszPath);
        StartLoadRecord();
        return true;
    case ftFPR:
        Announce("Loading image file", " : '", pszPath);
        m_strModuleName = m_strFileName;
        OnFPRRead();
        return true;
    case ftCDE:
        Announce("Loading image file", " : '", pszPath);
        m_strModuleName = m_strFileName;
        m_nRecordAddress = 0;
        return true;
    default:
        return false;
    }
}

void CBinaryImageFile::GatherAndStore(CBinaryImage* pImage, int bShowStatus)
{
    BYTE run[kRunSize];
    BYTE record[kRunSize];
    DWORD nRunStart = 0;
    DWORD nRunLength = 0;
    for (;;) {
        DWORD nAddress = 0;
        DWORD nLength = 0;
        ProcessLoad(&nAddress, &nLength, record);
        if (nLength == 0)
            break;
        nLength = std::min(nLength, kRunSize);
        if (nRunLength && std::uint64_t(nRunStart) + nRunLength == nAddress && nRunLength + nLength <= kRunSize) {
            std::memcpy(run + nRunLength, record, nLength);
            nRunLength += nLength;
            continue;
        }
        if (nRunLength) {
            pImage->SetDataFromFile(nRunStart, nRunLength, run);
            if (m_bAbort)
                return;
            ReportProgress(bShowStatus);
        }
        std::memcpy(run, record, nLength);
        nRunStart = nAddress;
        nRunLength = nLength;
    }
    if (nRunLength)
        pImage->SetDataFromFile(nRunStart, nRunLength, run);
}

int CBinaryImageFile::LoadFile(const char* pszPath, CBinaryImage* pImage, int bShowStatus)
{
    m_bError = false;
    return Load(pszPath, pImage, bShowStatus, false);
}

int CBinaryImageFile::LoadNormalFile(const char* pszPath, CBinaryImage* pImage, int bShowStatus)
{
    return Load(pszPath, pImage, bShowStatus, true);
}

int CBinaryImageFile::Load(const char* pszPath, CBinaryImage* pImage, int bShowStatus, bool bRaw)
{
    m_bAbort = false;
    if (bRaw)
        OpenAs(pszPath, 1, ftRawData);
    else
        OpenFile(pszPath, 1);
    if (!m_pFile || !pImage) {
        CloseFile();
        return 0;
    }
    m_pImage = pImage;
    pImage->ResetUndoRedoMemory();
    GetProgress() = 0;
    CWaitCursor wait;
    ShowFileName("Loading", bShowStatus);
    std::fseek(m_pFile, 0, SEEK_END);
    m_nFileLength = std::ftell(m_pFile);
    std::rewind(m_pFile);
    if (!StartReading(pszPath, bRaw)) {
        CloseFile();
        return 0;
    }

    GatherAndStore(pImage, bShowStatus);

    EndStatus();
    CloseFile();
    // Raw data has no records to be malformed.
    if (bRaw || !m_bError) {
        pImage->ResetUndoRedoMemory();
        pImage->PopupLoadEndMessage();
        return 1;
    }
    m_bError = false;
    // Everything the failed parse stored goes back before the raw load.
    pImage->UndoFileLoad();
    AfxMessageBox(kNotSRecord, qtNotice, miInformation);
    return LoadNormalFile(pszPath, pImage, bShowStatus);
}

int CBinaryImageFile::SaveFile(const char* pszPath, DWORD nFrom, DWORD nTo, CBinaryImage* pImage, int bShowStatus,
                               int bKeepHistory)
{
    m_bAbort = false;
    OpenFile(pszPath, 0);
    if (!m_pFile || !pImage) {
        CloseFile();
        return 0;
    }
    m_pImage = pImage;
    if (!bKeepHistory)
        pImage->ResetUndoRedoMemory();
    const DWORD nTotal = pImage->GetDataMemoryUsed(nFrom, nTo);
    GetProgress() = 0;
    CWaitCursor wait;
    ShowFileName("Saving", bShowStatus);

    DWORD nChunk = 0;
    switch (m_nFileType) {
    case ftSRecord:
        nChunk = kSRecordChunk;
        StartSaveRecord(std::min(nTo, static_cast<DWORD>(pImage->GetLastAddressInCache())));
        Announce("Processing S-Record file", " :'", pszPath);
        break;
    case ftFPR:
        Announce("Saving image file", " : '", pszPath);
        nChunk = kFPRChunk;
        OnFPRWrite();
        break;
    case ftCDE:
        Announce("Saving image file", " : '", pszPath);
        nChunk = kCDEChunk;
        m_nRecordAddress = 0;
        break;
    default:
        CloseFile();
        return 0;
    }

    std::unique_ptr<BYTE[]> piece(new BYTE[kSavePiece]);
    DWORD nSaved = 0;
    DWORD nLastSaved = nFrom - 1;
    int nIndex = -1;
    DWORD nNext = nFrom;
    DWORD nFirst = 0;
    DWORD nLast = 0;
    while (!m_bAbort && (nIndex = pImage->GetNextDataRangeByIndex(nIndex, nNext, &nFirst, &nLast)) >= 0) {
        nFirst = std::max(nFirst, nFrom);
        if (nFirst > nTo)
            break;
        nLast = std::min(nLast, nTo);
        for (std::uint64_t nPos = nFirst; nPos <= nLast && !m_bAbort;) {
            const DWORD nPiece = static_cast<DWORD>(std::min<std::uint64_t>(kSavePiece, nLast - nPos + 1));
            if (!pImage->GetData(static_cast<DWORD>(nPos), piece.get(), nPiece))
                std::memset(piece.get(), 0xFF, nPiece);
            for (DWORD nOffset = 0; nOffset < nPiece && !m_bAbort; nOffset += nChunk) {
                const DWORD nLength = std::min(nChunk, nPiece - nOffset);
                ProcessSave(static_cast<DWORD>(nPos + nOffset), nLength, piece.get() + nOffset);
                nSaved += nLength;
                if (nTotal)
                    GetProgress() = static_cast<DWORD>(std::min<std::uint64_t>(100, std::uint64_t(nSaved) * 100 / nTotal));
                ShowPercent(bShowStatus);
            }
            nPos += nPiece;
        }
        nLastSaved = nLast;
        if (nLast >= nTo || nLast == 0xFFFFFFFFu)
            break;
        nNext = nLast + 1;
    }

    if (!m_bAbort) {
        if (m_nFileType == ftSRecord)
            EndSaveRecord();
        else if (m_nFileType == ftCDE)
            EndCDESave(nLastSaved, pImage);
    }
    EndStatus();
    const bool bWritten = FinishWriting(pszPath);
    pImage->PopupSaveEndMessage();
    // A write the system refused is not a saved file, whatever the form says.
    return bWritten ? 1 : 0;
}

void CBinaryImageFile::ProcessSave(DWORD nAddress, DWORD nLength, BYTE* pBytes)
{
    switch (m_nFileType) {
    case ftSRecord:
        if (!AllBlank(pBytes, nLength))
            SaveSRECData(nAddress, nLength, pBytes);
        break;
    case ftFPR:
        if (!AllBlank(pBytes, nLength))
            SaveFPRData(nAddress, nLength, pBytes);
        break;
    case ftCDE:
        SaveCDEData(nAddress, nLength, pBytes);
        break;
    default:
        break;
    }
}

void CBinaryImageFile::ProcessLoad(DWORD* pAddress, DWORD* pLength, BYTE* pBytes)
{
    *pLength = 0;
    switch (m_nFileType) {
    case ftSRecord:
        LoadSRECData(pAddress, pLength, pBytes);
        break;
    case ftFPR:
        LoadFPRData(pAddress, pLength, pBytes);
        break;
    case ftCDE:
    case ftRawData:
        LoadCDEData(pAddress, pLength, pBytes);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// S-record reading

int CBinaryImageFile::htob(char* pDigit)
{
    return pDigit ? kHex.value[static_cast<unsigned char>(*pDigit)] : 0;
}

int CBinaryImageFile::CheckSum(char* pLine, long nCount)
{
    unsigned nSum = 0;
    const char* p = pLine + 2;
    for (long i = 0; i < nCount; ++i, p += 2)
        nSum += HexByte(p);
    return (~nSum & 0xFF) == HexByte(p) ? 1 : 0;
}

void CBinaryImageFile::Type0Decode(char* pFrom, char* pTo)
{
    DWORD n = 0;
    for (const char* p = pFrom + 4; p + 1 < pTo && n < sizeof(m_RecordBuffer) - 1; p += 2)
        m_RecordBuffer[n++] = static_cast<BYTE>(HexByte(p));
    m_RecordBuffer[n] = 0;
    m_nRecordLength = n;
}

void CBinaryImageFile::Type1Decode(char* pFrom, char* pTo)
{
    DecodeData(pFrom, pTo, 2);
}

void CBinaryImageFile::Type2Decode(char* pFrom, char* pTo)
{
    DecodeData(pFrom, pTo, 3);
}

void CBinaryImageFile::Type3Decode(char* pFrom, char* pTo)
{
    DecodeData(pFrom, pTo, 4);
}

void CBinaryImageFile::DecodeData(const char* pFrom, const char* pTo, int nAddressBytes)
{
    DWORD nAddress = 0;
    for (int i = 0; i < nAddressBytes; ++i)
        nAddress = (nAddress << 8) | HexByte(pFrom + 2 * i);
    m_nRecordAddress = nAddress;
    DWORD n = 0;
    for (const char* p = pFrom + 2 * nAddressBytes; p + 1 < pTo; p += 2)
        m_RecordBuffer[n++] = static_cast<BYTE>(HexByte(p));
    m_nRecordLength = n;
}

int CBinaryImageFile::SRecordToBin(char* pLine)
{
    if (!pLine)
        return -1;
    const size_t nLength = std::strlen(pLine);
    if (nLength < 4)
        return -1;
    const char type = pLine[1];
    const long nCount = static_cast<long>(HexByte(pLine + 2));
    // A count that runs past the line would read digits that are not there.
    if (nLength < 4 + 2 * size_t(nCount))
        return -1;
    const int nAddressBytes = AddressBytes(type);
    if (nAddressBytes == 0 || nCount < nAddressBytes + 1)
        return -1;
    if (!CheckSum(pLine, nCount))
        return -1;
    char* pFrom = pLine + 4;
    char* pTo = pLine + 2 + 2 * nCount;
    switch (type) {
    case '0': Type0Decode(pFrom, pTo); return 0;
    case '1': Type1Decode(pFrom, pTo); return 1;
    case '2': Type2Decode(pFrom, pTo); return 2;
    case '3': Type3Decode(pFrom, pTo); return 3;
    default: return 4; // S7, S8, S9
    }
}

namespace {
// Reads one line into pLine without its line end. 1 a line, 0 end of file,
// -1 a read error or a line longer than the buffer.
int ReadLine(FILE* pFile, char* pLine, int nSize)
{
    if (!std::fgets(pLine, nSize, pFile))
        return std::ferror(pFile) ? -1 : 0;
    size_t n = std::strlen(pLine);
    const bool bEnded = n > 0 && pLine[n - 1] == '\n';
    if (!bEnded && !std::feof(pFile))
        return -1;
    while (n > 0 && (pLine[n - 1] == '\n' || pLine[n - 1] == '\r'))
        pLine[--n] = 0;
    return 1;
}
} // namespace

void CBinaryImageFile::StartLoadRecord()
{
    if (!m_pFile || m_nFileType != ftSRecord)
        return;
    if (ReadLine(m_pFile, m_Line, sizeof(m_Line)) == 1 && SRecordToBin(m_Line) == 0) {
        m_strModuleName = reinterpret_cast<const char*>(m_RecordBuffer);
        return;
    }
    std::clearerr(m_pFile);
    std::rewind(m_pFile);
}

void CBinaryImageFile::LoadSRECData(DWORD* pAddress, DWORD* pLength, BYTE* pBytes)
{
    *pLength = 0;
    if (!m_pFile)
        return;
    for (;;) {
        const int nRead = ReadLine(m_pFile, m_Line, sizeof(m_Line));
        if (nRead == 0)
            return;
        if (nRead < 0) {
            m_bError = true;
            return;
        }
        // Blank lines (a trailing empty line, say) carry nothing.
        if (m_Line[0] == 0)
            continue;
        const int nResult = SRecordToBin(m_Line);
        if (nResult < 0) {
            m_bError = true;
            return;
        }
        if (nResult == 4)
            return;
        // A later header, or a data record without bytes, is skipped; a length
        // of 0 would otherwise end the load early.
        if (nResult == 0 || m_nRecordLength == 0)
            continue;
        *pAddress = m_nRecordAddress;
        *pLength = m_nRecordLength;
        std::memcpy(pBytes, m_RecordBuffer, m_nRecordLength);
        return;
    }
}

// ---------------------------------------------------------------------------
// S-record writing

void CBinaryImageFile::StartSaveRecord(DWORD nHighestAddress)
{
    if (!m_pFile || m_nFileType != ftSRecord)
        return;
    char line[40];
    std::strcpy(line, kHeaderTemplate);
    const std::string name = m_strFileName;
    const size_t nDot = name.rfind('.');
    const std::string base = name.substr(0, std::min(nDot, name.size()));
    const std::string ext = nDot == std::string::npos ? std::string() : name.substr(nDot, 4);
    // Header bytes start at character 8 (after "S00E0000").
    for (size_t i = 0; i < base.size() && i < 8; ++i)
        PutHex(line + 8 + 2 * i, static_cast<unsigned char>(base[i]), kUpper);
    size_t nExt = 0;
    for (const char c : ext) {
        if (c == '.' || nExt >= 3)
            continue;
        PutHex(line + 8 + 2 * (8 + nExt), static_cast<unsigned char>(c), kUpper);
        ++nExt;
    }
    unsigned nSum = 0;
    for (int i = 0; i < 14; ++i)
        nSum += HexByte(line + 2 + 2 * i);
    char* p = PutHex(line + 30, ~nSum & 0xFF, kUpper);
    *p++ = '\n';
    std::fwrite(line, 1, static_cast<size_t>(p - line), m_pFile);
    m_nAddressWidth = nHighestAddress < 0x10000u ? 1 : nHighestAddress < 0x1000000u ? 2 : 3;
}

void CBinaryImageFile::SaveSRECData(DWORD nAddress, DWORD nLength, BYTE* pBytes)
{
    if (!m_pFile)
        return;
    char line[2 * 256 + 16];
    const char* p = PutSRecord(line, m_nAddressWidth, nAddress, pBytes, std::min<DWORD>(nLength, 250), kLower);
    std::fwrite(line, 1, static_cast<size_t>(p - line), m_pFile);
}

void CBinaryImageFile::EndSaveRecord()
{
    if (!m_pFile)
        return;
    static const char* const kEnds[] = {"S9030000FC\n", "S804000000FB\n", "S70500000000FA\n"};
    std::fputs(kEnds[std::clamp(m_nAddressWidth, 1, 3) - 1], m_pFile);
}

void CBinaryImageFile::BinToSRecord(DWORD nAddress, BYTE* pBytes, char* pLine, int nLength)
{
    if (!pLine)
        return;
    const DWORD nCount = static_cast<DWORD>(std::clamp(nLength, 0, 250));
    *PutSRecord(pLine, m_nAddressWidth, nAddress, pBytes, nCount, kUpper) = 0;
}

// ---------------------------------------------------------------------------
// FPR

void CBinaryImageFile::SaveFPRData(DWORD nAddress, DWORD nLength, BYTE* pBytes)
{
    if (!m_pFile || nLength == 0)
        return;
    nLength = std::min(nLength, kFPRChunk);
    std::fprintf(m_pFile, "%08lX%08d", static_cast<unsigned long>(nAddress), static_cast<int>(nLength));
    std::fwrite(pBytes, 1, nLength, m_pFile);
}

void CBinaryImageFile::LoadFPRData(DWORD* pAddress, DWORD* pLength, BYTE* pBytes)
{
    *pLength = 0;
    if (!m_pFile)
        return;
    char header[16];
    if (std::fread(header, 1, sizeof(header), m_pFile) != sizeof(header))
        return;
    // Only the digits this form is written with; anything else ends the load.
    DWORD nAddress = 0;
    DWORD nCount = 0;
    for (int i = 0; i < 8; ++i) {
        const char c = header[i];
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return;
        nAddress = (nAddress << 4) | kHex.value[static_cast<unsigned char>(c)];
    }
    for (int i = 8; i < 16; ++i) {
        if (header[i] < '0' || header[i] > '9')
            return;
        nCount = nCount * 10 + DWORD(header[i] - '0');
    }
    if (nCount == 0 || nCount > kFPRChunk)
        return;
    const size_t nRead = std::fread(pBytes, 1, nCount, m_pFile);
    if (nRead == 0)
        return;
    // A record cut short by the end of the file gives what it has.
    *pAddress = nAddress;
    *pLength = static_cast<DWORD>(nRead);
}

int CBinaryImageFile::OnFPRWrite()
{
    return m_pImage && m_pFile ? m_pImage->OnFPRWrite(m_pFile) : 0;
}

int CBinaryImageFile::OnFPRRead()
{
    return m_pImage && m_pFile ? m_pImage->OnFPRRead(m_pFile) : 0;
}

// ---------------------------------------------------------------------------
// CDE and raw data

void CBinaryImageFile::SaveCDEData(DWORD nAddress, DWORD nLength, BYTE* pBytes)
{
    if (!m_pFile)
        return;
    if (m_nRecordAddress < nAddress && !WriteBlank(nAddress - m_nRecordAddress))
        return;
    for (DWORD nDone = 0; nDone < nLength;) {
        const DWORD n = std::min(kCDEChunk, nLength - nDone);
        if (std::fwrite(pBytes + nDone, 1, n, m_pFile) != n)
            return;
        nDone += n;
    }
    m_nRecordAddress = nAddress + nLength;
}

void CBinaryImageFile::EndCDESave(DWORD nLastAddress, CBinaryImage* pImage)
{
    if (!m_pFile || m_nFileType != ftCDE || !pImage)
        return;
    const DWORD nSize = pImage->GetImageSize();
    const bool bEmpty = nLastAddress == 0xFFFFFFFFu;
    if (!bEmpty && std::uint64_t(nLastAddress) + 1 >= nSize)
        return;
    if (AfxMessageBox("Would you like to pad the image to " + WireFormat::SizeText(nSize), qtYesNo, miQuestion) !=
        qtYes)
        return;
    WriteBlank(bEmpty ? nSize : nSize - nLastAddress - 1);
}

bool CBinaryImageFile::WriteBlank(DWORD nCount)
{
    static const std::vector<BYTE> blank(kCDEChunk, 0xFF);
    while (nCount) {
        const DWORD n = std::min(kCDEChunk, nCount);
        if (std::fwrite(blank.data(), 1, n, m_pFile) != n)
            return false;
        m_nRecordAddress += n;
        nCount -= n;
    }
    return true;
}

void CBinaryImageFile::LoadCDEData(DWORD* pAddress, DWORD* pLength, BYTE* pBytes)
{
    *pLength = 0;
    if (!m_pFile)
        return;
    const size_t nRead = std::fread(pBytes, 1, kCDEChunk, m_pFile);
    if (nRead == 0)
        return;
    *pAddress = m_nRecordAddress;
    *pLength = static_cast<DWORD>(nRead);
    m_nRecordAddress += static_cast<DWORD>(nRead);
}

// ---------------------------------------------------------------------------
// CFLASHBinaryImageFile

void CFLASHBinaryImageFile::ForceFileType(FileType nType)
{
    m_bForce = true;
    m_nForcedType = nType;
}

void CFLASHBinaryImageFile::OpenFile(const char* pszPath, int bForReading)
{
    FileType nType = pszPath ? TypeFromExtension(pszPath) : ftNone;
    if (m_bForce) {
        nType = m_nForcedType;
        m_bForce = false;
    }
    OpenAs(pszPath, bForReading, nType);
}
