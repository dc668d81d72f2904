// Erasing, blank checking, the per-block written flags and reading FLASH back.
#include <algorithm>
#include <new>
#include <vector>

#include "devicedb/BlockItem.h"
#include "programmer/FLASHProgrammer.h"

bool CFLASHProgrammer::EraseBlock(CBlockItem* pBlock)
{
    return m_nProtocol == 1 ? m_pDevice->EraseFLASHBlock_ProtocolB(pBlock) : m_pDevice->EraseFLASHBlock(pBlock);
}

bool CFLASHProgrammer::AutoErasedOnConnect(bool* pConnected)
{
    m_bAutoErased = false;
    Connect();
    *pConnected = m_bConnected;
    if (!m_bConnected || !m_bAutoErased)
        return false;
    QueryUser("The device was automatically Erased during connection.", qtNotice);
    m_bAutoErased = false;
    return true;
}

bool CFLASHProgrammer::EraseFLASH()
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    if (!m_pDeviceInfo || m_pDeviceInfo->m_EraseBlocks.IsEmpty())
        return false;
    bool bConnected = false;
    if (AutoErasedOnConnect(&bConnected))
        return true;
    if (!bConnected || !m_pDevice)
        return false;
    m_bCancel = false;
    CStatusForward device(m_pDevice, this, feDetach);
    CStatusForward comms(m_pComms, this, feDetach);
    std::vector<DWORD> erased;
    for (CObject* pObject : m_pDeviceInfo->m_EraseBlocks) {
        if (m_bCancel)
            break;
        auto* pBlock = static_cast<CBlockItem*>(pObject);
        if (!EraseBlock(pBlock))
            return false;
        erased.push_back(static_cast<DWORD>(pBlock->m_lStart));
    }
    if (!erased.empty() && m_nProtocol == 1)
        m_pDevice->EraseFLASHBlock_End();
    return m_bCancel || erased.empty() || ErasedAsAsked(erased);
}

bool CFLASHProgrammer::EraseFLASHBlocks(CObList* pBlocks)
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    m_bCancel = false;
    bool bConnected = false;
    if (AutoErasedOnConnect(&bConnected))
        return true;
    if (!bConnected || !m_pDevice)
        return false;
    if (!pBlocks || pBlocks->IsEmpty())
        return false;
    const int n = static_cast<int>(pBlocks->GetCount());
    if (n > 1) {
        CString text;
        text.Format("Erasing %d blocks from device", n);
        DisplayTaskMessage(text, 0);
    }
    GetProgress() = 0;
    SetProgressString("Erasing...");
    CStatusForward device(m_pDevice, this, feDetach);
    CStatusForward comms(m_pComms, this, feDetach);
    std::vector<DWORD> erased;
    for (CObject* pObject : *pBlocks) {
        if (m_bCancel)
            break;
        auto* pBlock = static_cast<CBlockItem*>(pObject);
        CString text;
        text.Format("Erasing block %s (H'%08lX - H'%08lX)", static_cast<const char*>(pBlock->m_strBlockName),
                    static_cast<unsigned long>(static_cast<DWORD>(pBlock->m_lStart)),
                    static_cast<unsigned long>(static_cast<DWORD>(pBlock->m_lStart + pBlock->m_lSize - 1)));
        DisplayMessage(text, 0);
        if (!EraseBlock(pBlock)) {
            device.End();
            comms.End();
            DisplayError("", 15025);
            return false;
        }
        erased.push_back(static_cast<DWORD>(pBlock->m_lStart));
        // The caller may name copies of the definition's blocks; the check
        // below reads the definition's own.
        if (m_pDeviceInfo)
            for (CObject* pOwn : m_pDeviceInfo->m_EraseBlocks)
                if (static_cast<CBlockItem*>(pOwn)->m_lStart == pBlock->m_lStart)
                    static_cast<CBlockItem*>(pOwn)->m_bWritten = 0;
        GetProgress() += static_cast<DWORD>(100 / n);
    }
    if (!erased.empty() && m_nProtocol == 1)
        m_pDevice->EraseFLASHBlock_End();
    if (!erased.empty() && !m_bCancel && !ErasedAsAsked(erased))
        return false;
    DisplayMessage("Erase complete", 0);
    return true;
}

bool CFLASHProgrammer::ErasedAsAsked(const std::vector<DWORD>& erased)
{
    // A classic erase command bent on the line picks blocks by its erase
    // registers, not by the addresses beside them: it can miss the block it
    // named and take others. Protocol B frames carry a sum.
    if (m_nProtocol == 1 || !m_pDeviceInfo)
        return true;
    if (WholeFLASHReadsBlank(erased))
        return true;
    CString lost, missed;
    for (CObject* pObject : m_pDeviceInfo->m_EraseBlocks) {
        auto* pBlock = static_cast<CBlockItem*>(pObject);
        const DWORD start = static_cast<DWORD>(pBlock->m_lStart);
        const bool bMeant = std::find(erased.begin(), erased.end(), start) != erased.end();
        if (!bMeant && !pBlock->m_bWritten)
            continue;
        bool bBlank = false;
        if (!m_pDevice->BlankCheck(&bBlank, start, static_cast<DWORD>(pBlock->m_lSize))) {
            if (m_bCancel)
                return false;
            CString text;
            text.Format("Could not check block %s after the erase", static_cast<const char*>(pBlock->m_strBlockName));
            DisplayError(text, 0);
            return false;
        }
        pBlock->m_bWritten = bBlank ? 0 : 1;
        CString& names = bMeant ? missed : lost;
        if (bMeant != bBlank)
            names += (names.IsEmpty() ? "" : ", ") + pBlock->m_strBlockName;
    }
    if (!missed.IsEmpty())
        DisplayError("The erase left " + missed + " holding data: the chip did not erase what it was asked to", 0);
    if (!lost.IsEmpty())
        DisplayError("The erase also erased " + lost + ", which held data and were not to be erased: that data is gone",
                     0);
    return missed.IsEmpty() && lost.IsEmpty();
}

bool CFLASHProgrammer::WholeFLASHReadsBlank(const std::vector<DWORD>& erased)
{
    // One check for an erase of every block: a 1K kernel comes back after
    // each, so block by block would cost a kernel download apiece.
    DWORD first = 0xFFFFFFFF, last = 0;
    for (CObject* pObject : m_pDeviceInfo->m_EraseBlocks) {
        auto* pBlock = static_cast<CBlockItem*>(pObject);
        const DWORD start = static_cast<DWORD>(pBlock->m_lStart);
        if (pBlock->m_lSize <= 0 || std::find(erased.begin(), erased.end(), start) == erased.end())
            return false;
        first = std::min(first, start);
        last = std::max(last, start + static_cast<DWORD>(pBlock->m_lSize) - 1);
    }
    bool bBlank = false;
    if (first > last || !m_pDevice->BlankCheck(&bBlank, first, last - first + 1) || !bBlank)
        return false;
    for (CObject* pObject : m_pDeviceInfo->m_EraseBlocks)
        static_cast<CBlockItem*>(pObject)->m_bWritten = 0;
    return true;
}

bool CFLASHProgrammer::BuildBlockEraseList()
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    bool bConnected = false;
    if (AutoErasedOnConnect(&bConnected))
        return true;
    if (!bConnected || !m_pDevice || !m_pDeviceInfo)
        return false;
    m_bCancel = false;
    DisplayMessage("Determining block usage", 0);
    SetProgressString("Determining block usage");
    GetProgress() = 0;
    // A definition without blocks has nothing to find: the list is done at once.
    const DWORD nCount = static_cast<DWORD>(m_pDeviceInfo->m_EraseBlocks.GetCount());
    const DWORD nStep = nCount ? 100 / nCount : 100;
    CStatusForward device(m_pDevice, this, feDetach);
    CStatusForward comms(m_pComms, this, feDetach);
    for (CObject* pObject : m_pDeviceInfo->m_EraseBlocks) {
        if (m_bCancel)
            break;
        auto* pBlock = static_cast<CBlockItem*>(pObject);
        if (m_nProtocol != 1) {
            bool bBlank = false;
            if (!m_pDevice->BlankCheck(&bBlank, static_cast<DWORD>(pBlock->m_lStart),
                                       static_cast<DWORD>(pBlock->m_lSize)))
                return false;
            pBlock->m_bWritten = bBlank ? 0 : 1;
        }
        GetProgress() += nStep;
    }
    GetProgress() = 100;
    return true;
}

bool CFLASHProgrammer::ClearBlockEraseList()
{
    m_bCancel = false;
    if (!m_pDeviceInfo)
        return true;
    for (CObject* pObject : m_pDeviceInfo->m_EraseBlocks) {
        if (m_bCancel)
            break;
        static_cast<CBlockItem*>(pObject)->m_bWritten = 0;
    }
    return true;
}

bool CFLASHProgrammer::BlankCheck(bool* pBlank)
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    m_bCancel = false;
    Connect();
    if (!m_bConnected || !m_pDevice)
        return m_bCancel.load();
    bool bBlank = false;
    if (!pBlank)
        pBlank = &bBlank;
    DisplayTaskMessage("Checking for blank device", 0);
    SetProgressString("Checking for blank device");
    GetProgress() = 75;
    CStatusForward device(m_pDevice, this, feDetach);
    CStatusForward comms(m_pComms, this, feDetach);
    const DWORD nSize = m_pDevice->GetFLASHSize();
    const bool bChecked = m_nProtocol == 1 ? m_pDevice->BlankCheck_ProtocolB(pBlank, 0, nSize)
                                           : m_pDevice->BlankCheck(pBlank, 0, nSize);
    GetProgress() = 100;
    if (m_bCancel)
        return true;
    if (bChecked)
        DisplayMessage(*pBlank ? "Device is blank." : "Device is not blank.", 0);
    return bChecked;
}

CFLASHBinaryImage* CFLASHProgrammer::ReadImage(int atAddress, CFLASHBinaryImage* pImage, unsigned long start,
                                               unsigned long length)
{
    CSingleLock lock(m_pLock, true);
    CBusy busy(m_bBusy);
    m_bCancel = false;
    Connect();
    if (!m_bConnected || !m_pDevice)
        return nullptr;
    if (length == 0)
        length = m_pDevice->GetFLASHSize();
    const DWORD nFLASH = m_pDevice->GetFLASHSize();
    if (length == 0 || start >= nFLASH || length > nFLASH - start) {
        CString text;
        text.Format("Cannot read H'%08lX - H'%08lX: the device's FLASH ends at H'%08lX", start,
                    static_cast<unsigned long>(start + length - 1), static_cast<unsigned long>(nFLASH - 1));
        DisplayError(text, 0);
        return nullptr;
    }
    CFLASHBinaryImage* pCreated = nullptr;
    if (!pImage) {
        pCreated = atAddress ? CreateImage() : new CFLASHBinaryImage(static_cast<int>(length), nullptr);
        pImage = pCreated;
        if (!pImage)
            return nullptr;
    }
    std::vector<unsigned char> buffer;
    try {
        buffer.resize(length);
    } catch (const std::bad_alloc&) {
        delete pCreated;
        DisplayError("", 15054);
        return nullptr;
    }
    CStatusForward device(m_pDevice, this, feDetach);
    CStatusForward comms(m_pComms, this, feDetach);
    const bool bRead = m_nProtocol == 1 ? m_pDevice->ReadData_ProtocolB(start, length, buffer.data())
                                        : m_pDevice->ReadData(start, length, buffer.data());
    if (!bRead) {
        delete pCreated;
        return nullptr;
    }
    if (!m_bCancel)
        pImage->SetDataFromFile(atAddress ? start : 0, length, buffer.data());
    else
        pImage->Abort();
    return pImage;
}
