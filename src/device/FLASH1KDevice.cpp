#include "device/FLASH1KDevice.h"

#include <vector>

#include "devicedb/BlockItem.h"
#include "devicedb/DeviceInfo.h"
#include "platform/HostUI.h"
#include "platform/WireFormat.h"
#include "protocol/FLASH1KProtocol.h"

namespace {
CFLASHProtocol* Make1KProtocol(CFLASHDevice* pDevice, CFLASHComms* pComms, bool bUser)
{
    if (bUser)
        return new CFLASH1KUserModeProtocol(pDevice, pComms);
    return new CFLASH1KProtocol(pDevice, pComms);
}

} // namespace

bool CFLASH1KDevice::ManageFunctionMap(eFLASHFunction function)
{
    InvalidateFunctionMap();
    if (function == fnVerify) {
        AfxMessageBox("No kernel support for verification yet!");
        return false;
    }
    if (CFLASHFunctionMap::EntryOf(function) < 0)
        return false;
    m_FunctionMap.SetFunction(function, CFLASHFunctionMap::kWanted);
    if (!m_bAutomaticModules)
        return true;

    // The module goes where the main kernel was, with nothing else to keep.
    m_dwMainKernelSize = 0;
    m_bAutomaticModules = false;
    auto* p1K = dynamic_cast<CFLASH1KProtocol*>(m_pProtocol);
    const bool bBufferMap = p1K && m_FunctionMap.GetFunction(fnWrite) != 0;
    if (bBufferMap)
        p1K->SetBufferMap(true);
    const bool bResult = SetFunctionMap(nullptr);
    if (bBufferMap)
        p1K->SetBufferMap(false);
    m_bAutomaticModules = true;
    return bResult;
}

bool CFLASH1KDevice::ReDownloadMainKernel()
{
    if (!m_pProtocol)
        return false;
    std::vector<BYTE> image;
    if (!ReadWholeFile(KernelEntry(m_bUserMode), "main kernel", &image))
        return false;
    SetProgressString("Downloading kernel");
    GetProgress() += 60;
    bool bResult = false;
    {
        CStatusForward attached(m_pProtocol, this, feRestore);
        bResult = m_pProtocol->DownloadFunction(0, static_cast<unsigned short>(image.size()), image.data());
    }
    m_dwMainKernelSize = static_cast<DWORD>(image.size());
    m_dwFreeRAM = m_dwAvailableRAM > m_dwMainKernelSize ? m_dwAvailableRAM - m_dwMainKernelSize : 0;
    SetBufferSize();
    SetProgressString("Initialising kernel");
    GetProgress() += 20;
    return bResult;
}

bool CFLASH1KDevice::EraseFLASHBlock(CBlockItem* pBlock)
{
    if (!pBlock || !m_pProtocol)
        return false;
    const BYTE ebr[3] = {pBlock->m_byEBR0, pBlock->m_byEBR1, pBlock->m_byEBR2};
    const DWORD start = static_cast<DWORD>(pBlock->m_lStart);
    bool bResult = false;
    {
        CStatusForward attached(m_pProtocol, this, feRestore);
        bResult = m_pProtocol->EraseFLASHBlock(start, start + static_cast<DWORD>(pBlock->m_lSize), ebr);
    }
    if (bResult) {
        pBlock->m_bWritten = 0;
        pBlock->m_bEraseRequest = 0;
    }
    ReDownloadMainKernel();
    return bResult;
}

bool CFLASH1KDevice::BlankCheck(bool* pBlank, unsigned long start, unsigned long length)
{
    if (!m_pProtocol)
        return false;
    bool bResult = false;
    {
        CStatusForward attached(m_pProtocol, this, feRestore);
        bResult = m_pProtocol->BlankCheck(pBlank, start, length);
    }
    ReDownloadMainKernel();
    return bResult;
}

bool CFLASH1KDevice::ReadData(unsigned long start, unsigned long length, unsigned char* pBuffer)
{
    if (!m_pProtocol)
        return false;
    bool bResult = false;
    {
        CStatusForward attached(m_pProtocol, this, feRestore);
        bResult = m_pProtocol->ReadData(start, length, pBuffer);
    }
    ReDownloadMainKernel();
    return bResult;
}

bool CFLASH1KDevice::WriteVerifyFLASH(unsigned long start, unsigned long length, unsigned char* pData, int nUnused)
{
    if (!m_pProtocol)
        return false;
    bool bResult = false;
    {
        CStatusForward attached(m_pProtocol, this, feRestore);
        if (pData)
            bResult = m_pProtocol->WriteVerifyFLASHData(start, length, pData, PaddingFor(length), nUnused);
    }
    ReDownloadMainKernel();
    return bResult;
}

bool CFLASH1KDevice::WriteFLASH(unsigned long, unsigned long, unsigned char*, int)
{
    return ManageFunctionMap(fnWrite);
}

bool CFLASH1KDevice::InitialiseBOOTModeKernel()
{
    m_bUserMode = false;
    return InitialiseKernel(false, Make1KProtocol, true);
}

bool CFLASH1KDevice::InitialiseUSERModeKernel()
{
    m_bUserMode = true;
    return InitialiseKernel(true, Make1KProtocol, false);
}

bool CFLASH1KDevice::DownloadBOOTModeKernel()
{
    if (!m_pDeviceInfo || !m_pComms)
        return false;
    const CString entry = KernelEntry(false);
    DisplayMessage("Downloading main kernel '" + entry + "'", 0);
    std::vector<BYTE> image;
    if (!ReadWholeFile(entry, "main kernel", &image))
        return false;
    SetProgressString("Downloading kernel");
    GetProgress() += 60;
    for (BYTE by : WireFormat::BigEndian<2>(image.size()))
        m_pComms->WriteByte(by);
    for (BYTE by : image) {
        if (!m_pComms->WriteByte(by)) {
            DisplayError("", 15043);
            return false;
        }
    }
    DisplayMessage("Main kernel download complete...", 0);
    m_dwMainKernelSize = static_cast<DWORD>(image.size());
    SetProgressString("Initialising kernel");
    GetProgress() += 20;
    // The 1K micro-kernel keeps the line it came up on.
    return InitialiseBOOTModeKernel();
}
