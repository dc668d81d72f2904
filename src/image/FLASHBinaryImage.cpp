#include "image/FLASHBinaryImage.h"

#include <algorithm>
#include <cstdint>

#include "image/FLASHDocument.h"
#include "platform/SettingsKeys.h"
#include "platform/Time.h"

namespace {
constexpr DWORD kDefaultThreshold = 8;
}

CFLASHBinaryImage::CFLASHBinaryImage(int nSize, CFLASHDocument* pDocument)
    : CBinaryImage(nSize), m_pDocument(pDocument)
{
    DWORD nThreshold = Settings::FFThreshold.Read(this);
    BOOL bUse = Settings::UseThreshold.Read(this) ? TRUE : FALSE;
    if (nThreshold == 0) {
        // A fresh store: settle the defaults where the user can see and change them.
        nThreshold = kDefaultThreshold;
        bUse = TRUE;
        Settings::FFThreshold.Write(nThreshold, this);
        Settings::UseThreshold.Write(1, this);
    }
    SetBlankThreshold(nThreshold);
    SetUseThreshold(bUse);
}

void CFLASHBinaryImage::SetActiveFile(CBinaryImageFile* pFile)
{
    CSingleLock lock(&m_FileMutex, true);
    m_pActiveFile = pFile;
}

int CFLASHBinaryImage::SaveFile(const char* pszName, DWORD nStart, DWORD nEnd, int bKeepHistory)
{
    CFLASHBinaryImageFile file;
    SetActiveFile(&file);
    file.SetStatusUpdate(this);
    if (m_nSaveFileType != ftNone) {
        file.ForceFileType(m_nSaveFileType);
        m_nSaveFileType = ftNone;
    }
    const int nResult = file.SaveFile(pszName, nStart, nEnd, this, 0, bKeepHistory);
    SetActiveFile(nullptr);
    return nResult;
}

int CFLASHBinaryImage::LoadFile(const char* pszName)
{
    m_bLoadFinished = FALSE;
    CBinaryImageFile file;
    SetActiveFile(&file);
    file.SetStatusUpdate(this);
    const int nResult = file.LoadFile(pszName, this, 0);
    {
        CSingleLock lock(&m_FileMutex, true);
        m_bLoadFinished = TRUE;
        m_pActiveFile = nullptr;
    }
    // The changes of the load were held back; the document hears of them once.
    OnBlockListChanged();
    return nResult;
}

int CFLASHBinaryImage::GetData(DWORD nAddress, BYTE* pOut, DWORD nLength)
{
    if (!pOut || nAddress < GetStartAddress())
        return 0;
    if (nLength == 0)
        return 1;
    // Bytes past the top of the address space cannot be stored: they read H'FF.
    const DWORD nReach = static_cast<DWORD>(std::min<std::uint64_t>(nLength, 0x100000000ull - nAddress));
    CBinaryImage::GetData(nAddress, nAddress + nReach - 1, pOut, &m_ImageData);
    std::fill(pOut + nReach, pOut + nLength, BYTE(0xFF));
    return 1;
}

void CFLASHBinaryImage::OnBlockListChanged()
{
    CFLASHDocument* pDocument = m_pDocument;
    if (pDocument && m_bLoadFinished)
        pDocument->OnPropertyChange();
}

bool CFLASHBinaryImage::NewestGenerationStart(const DATA_INFO& set, DWORD& nStart)
{
    const CDataBlock* pBlock = set.m_pLast;
    if (!pBlock)
        return false;
    const DWORD nCounter = pBlock->GetCounter();
    nStart = pBlock->GetStartAddress();
    for (; pBlock && pBlock->GetCounter() == nCounter; pBlock = pBlock->GetPreviousBlockIn())
        nStart = std::min(nStart, pBlock->GetStartAddress());
    return true;
}

void CFLASHBinaryImage::Undo()
{
    DWORD nStart = 0;
    if (NewestGenerationStart(m_UndoData, nStart))
        m_nLastUndoRedoAddress = nStart;
    CBinaryImage::Undo();
}

void CFLASHBinaryImage::Redo()
{
    DWORD nStart = 0;
    if (NewestGenerationStart(m_RedoData, nStart))
        m_nLastUndoRedoAddress = nStart;
    CBinaryImage::Redo();
}

int CFLASHBinaryImage::IsImageModified() const
{
    return m_UndoData.GetCount() > 0;
}

DWORD CFLASHBinaryImage::GetBlockCount()
{
    return static_cast<DWORD>(m_ImageData.GetCount());
}

void CFLASHBinaryImage::SetSaveFileType(FileType nType)
{
    m_nSaveFileType = nType;
}

void CFLASHBinaryImage::SetFLASHDocument(CFLASHDocument* pDocument)
{
    m_pDocument = pDocument;
}

DWORD CFLASHBinaryImage::GetContiguousDataRange(DWORD nAddress, unsigned short nAlignment, DWORD* pFirst,
                                                DWORD* pLast, DWORD* pLength)
{
    DWORD nDummyFirst = 0, nDummyLast = 0, nDummyLength = 0;
    pFirst = pFirst ? pFirst : &nDummyFirst;
    pLast = pLast ? pLast : &nDummyLast;
    pLength = pLength ? pLength : &nDummyLength;
    *pLength = 0;
    *pFirst = *pLast = 0;
    if (nAddress >= GetImageSize())
        return 0;
    DWORD nFirst = 0;
    DWORD nLast = 0;
    int nIndex = GetNextDataRangeByIndex(-1, nAddress, &nFirst, &nLast);
    if (nIndex < 0)
        return 0;
    // An alignment of 0 means none.
    const std::uint64_t nUnit = nAlignment ? nAlignment : 1;
    const DWORD nRunFirst = static_cast<DWORD>(nFirst / nUnit * nUnit);
    for (;;) {
        const std::uint64_t nEnd = (std::uint64_t(nLast) + 1 + nUnit - 1) / nUnit * nUnit;
        DWORD nNextFirst = 0;
        DWORD nNextLast = 0;
        const int nNext =
            nLast == 0xFFFFFFFFu ? -1 : GetNextDataRangeByIndex(nIndex, nLast + 1, &nNextFirst, &nNextLast);
        // The unit holding the top of the address space ends there.
        const DWORD nRunLast = static_cast<DWORD>(std::min<std::uint64_t>(nEnd - 1, 0xFFFFFFFFu));
        if (nNext < 0 || nNextFirst > nEnd) {
            *pFirst = nRunFirst;
            *pLast = nRunLast;
            *pLength = nRunLast - nRunFirst + 1;
            return nNext < 0 ? static_cast<DWORD>(nEnd) : nNextFirst;
        }
        nIndex = nNext;
        nFirst = nNextFirst;
        nLast = nNextLast;
    }
}

void CFLASHBinaryImage::Abort()
{
    CSingleLock lock(&m_FileMutex, true);
    if (CBinaryImageFile* pFile = m_pActiveFile) {
        pFile->Abort();
        lock.Unlock();
        // The worker clears the pointer under the lock when its load or save returns.
        while (m_pActiveFile.load())
            Sleep(0);
    } else {
        lock.Unlock();
    }
    m_bLoadAborted = TRUE;
}

int CFLASHBinaryImage::LoadWasAborted()
{
    return m_bLoadAborted.exchange(FALSE);
}
