#include "device/FLASHDevice.h"

#include <algorithm>
#include <iterator>

#include "device/ModulePlan.h"
#include "devicedb/BlockItem.h"
#include "devicedb/DeviceInfo.h"
#include "platform/File.h"
#include "platform/HostUI.h"
#include "platform/SettingsKeys.h"
#include "platform/WireFormat.h"
#include "protocol/FLASHProtocol.h"

CFLASHUniqueIDCounter CFLASHDevice::m_sCurrentUniqueID;

namespace {
constexpr DWORD RoundDown4(DWORD n) { return n & ~3u; }

CFLASHProtocol* MakeProtocol(CFLASHDevice* pDevice, CFLASHComms* pComms, bool bUser)
{
    if (bUser)
        return new CFLASHUserModeProtocol(pDevice, pComms);
    return new CFLASHProtocol(pDevice, pComms);
}

// "Unable to locate main kernel 'x'", "Unable to locate kernel module 'x'".
CString MissingText(const char* pszWhat, const CString& entry)
{
    return CString("Unable to locate ") + pszWhat + " '" + entry + "'";
}

const char* const kNoVerify = "No kernel support for verification yet!";
} // namespace

CFLASHDevice::CFLASHDevice(const CString& name, CFLASHComms* pComms, bool bAutomaticModules)
    : m_bAutomaticModules(bAutomaticModules), m_strDeviceName(name), m_pComms(pComms)
{
}

CFLASHDevice::~CFLASHDevice()
{
    delete m_pProtocol;
    delete m_pDeviceID;
}

void CFLASHDevice::SetAdvancedUser(bool bAdvanced)
{
    if (m_pProtocol)
        m_pProtocol->SetAdvancedUser(bAdvanced);
    CStatusUpdate::SetAdvancedUser(bAdvanced);
}

void CFLASHDevice::SetFLASHComms(CFLASHComms* pComms)
{
    m_pComms = pComms;
    if (m_pProtocol)
        m_pProtocol->SetFLASHComms(pComms);
}

void CFLASHDevice::SetDeviceInfo(CDeviceInfo* pDeviceInfo)
{
    m_pDeviceInfo = pDeviceInfo;
    if (m_pDeviceInfo) {
        m_dwRAMSize = m_pDeviceInfo->m_dwRAMSize;
        m_dwFLASHSize = m_pDeviceInfo->m_dwFLASHROMSize;
    }
}

bool CFLASHDevice::Initialise()
{
    SetProgressString("Initialising device");
    GetProgress() = 0;
    if (!m_pDeviceInfo) {
        DisplayError("No device definition has been given", 0);
        return false;
    }
    m_dwRAMSize = m_pDeviceInfo->m_dwRAMSize;
    m_dwFLASHSize = m_pDeviceInfo->m_dwFLASHROMSize;
    return true;
}

bool CFLASHDevice::ReadWholeFile(const CString& entry, const char* pszWhat, std::vector<BYTE>* pData)
{
    CFile file;
    const CString path = m_pDeviceInfo ? m_pDeviceInfo->ResolvePath(entry) : entry;
    if (entry.IsEmpty() || !file.Open(path, CFile::modeRead | CFile::shareDenyWrite)) {
        DisplayError(MissingText(pszWhat, entry), 15006);
        return false;
    }
    const long long length = file.GetLength();
    pData->assign(length > 0 ? static_cast<std::size_t>(length) : 0u, 0);
    if (!pData->empty() && file.Read(pData->data(), static_cast<UINT>(pData->size())) != pData->size()) {
        DisplayError(MissingText(pszWhat, entry) + ": " + file.GetErrorText(), 15006);
        return false;
    }
    return true;
}

bool CFLASHDevice::MeasureFile(const CString& entry, const char* pszWhat, DWORD* pLength)
{
    CFile file;
    const CString path = m_pDeviceInfo ? m_pDeviceInfo->ResolvePath(entry) : entry;
    if (entry.IsEmpty() || !file.Open(path, CFile::modeRead | CFile::shareDenyWrite)) {
        DisplayError(MissingText(pszWhat, entry), 15006);
        return false;
    }
    const long long length = file.GetLength();
    *pLength = length > 0 ? static_cast<DWORD>(length) : 0u;
    return true;
}

bool CFLASHDevice::DownloadBOOTModeKernel()
{
    return DownloadMainKernel(false);
}

bool CFLASHDevice::DownloadUSERModeKernel()
{
    return DownloadMainKernel(true);
}

bool CFLASHDevice::DownloadMainKernel(bool bUser)
{
    if (!m_pDeviceInfo || !m_pComms)
        return false;
    const CString entry = KernelEntry(bUser);
    DisplayMessage("Downloading main kernel '" + entry + "'", 0);
    std::vector<BYTE> image;
    if (!ReadWholeFile(entry, "main kernel", &image))
        return false;
    SetProgressString("Downloading kernel");
    GetProgress() += 60;
    // The length is announced in 16 bits; a longer kernel is still sent whole.
    m_pComms->WriteBytes(WireFormat::BigEndian<2>(image.size()).data(), 2, false);
    if (!m_pComms->WriteBytes(image.data(), static_cast<unsigned long>(image.size()), false)) {
        DisplayError("", 15043);
        return false;
    }
    DisplayMessage("Main kernel download complete...", 0);
    m_dwMainKernelSize = static_cast<DWORD>(image.size());
    SetProgressString("Initialising kernel");
    GetProgress() += 20;
    m_pComms->UseAlternateComms(false, true);
    return bUser ? InitialiseUSERModeKernel() : InitialiseBOOTModeKernel();
}

bool CFLASHDevice::HandshakeAccepted() const
{
    return (m_pDeviceInfo && m_pDeviceID && m_pDeviceInfo->m_byKernelHandshake == m_pDeviceID->GetHandshake()) ||
           Settings::IgnoreHandshake.Read() != 0;
}

bool CFLASHDevice::InitialiseBOOTModeKernel()
{
    return InitialiseKernel(false, MakeProtocol, true);
}

bool CFLASHDevice::InitialiseUSERModeKernel()
{
    return InitialiseKernel(true, MakeProtocol, true);
}

CString CFLASHDevice::KernelEntry(bool bUser) const
{
    if (!m_pDeviceInfo)
        return "";
    return bUser ? m_pDeviceInfo->m_strUserMainKernel : m_pDeviceInfo->m_strMainKernel;
}

bool CFLASHDevice::InitialiseKernel(bool bUser, ProtocolFactory pFactory, bool bWarnLargeKernel)
{
    if (!m_pDeviceInfo)
        return false;
    m_bWrongKernel = false;
    delete m_pDeviceID;
    m_pDeviceID = bUser ? new CFLASHUserModeDeviceID : new CFLASHDeviceID;
    ReplaceProtocol(pFactory(this, m_pComms, bUser));

    if (!MeasureFile(KernelEntry(bUser), "main kernel", &m_dwMainKernelSize))
        return false;

    m_pProtocol->SetStatusUpdate(this);
    m_byIdentifier = m_sCurrentUniqueID.Next();
    m_bConnected = false;

    if (!m_pProtocol->ReadDeviceID(m_byIdentifier)) {
        DisplayError("", 15007);
        if (bUser) {
            m_pProtocol->SetStatusUpdate(m_pProtocol);
            return false;
        }
    } else if (HandshakeAccepted()) {
        const DWORD top = bUser ? static_cast<CFLASHUserModeDeviceID*>(m_pDeviceID)->GetRAMTop() : m_dwRAMSize;
        const DWORD workArea = m_pDeviceID->GetKernelWorkArea();
        m_dwAvailableRAM = top > workArea ? top - workArea : 0;
        if (m_dwAvailableRAM < m_dwMainKernelSize) {
            if (bUser && bWarnLargeKernel)
                DisplayWarning("", 15053);
            m_dwFreeRAM = 0;
        } else {
            m_dwFreeRAM = m_dwAvailableRAM - m_dwMainKernelSize;
        }
        SetBufferSize();
        if (bUser) {
            m_bConnected = IsReallyConnected();
            if (!m_bConnected)
                DisplayError("", 15008);
        } else {
            m_FunctionMap.Invalidate();
            m_bConnected = true;
        }
    } else {
        m_bWrongKernel = true;
        m_bConnected = false;
        DisplayError("", 15055);
    }
    if (m_bWrongKernel)
        return false;

    if (m_bConnected && !bUser)
        m_bConnected = IsReallyConnected();
    if (m_bConnected) {
        SetProgressString("Kernel initialised");
        DisplayMessage("Kernel initialised", 0);
        GetProgress() = 100;
        OnPropertyChange();
    }
    m_pProtocol->SetStatusUpdate(m_pProtocol);
    SetAdvancedUser(IsAdvancedUser());
    return m_bConnected;
}

bool CFLASHDevice::IsReallyConnected()
{
    if (!m_pProtocol)
        return false;
    CStatusForward attached(m_pProtocol, this, feRestore);
    if (m_nProtocol == 0) {
        bool bResult = m_pProtocol->IsReallyConnected(m_byIdentifier);
        if (bResult && !HandshakeAccepted())
            bResult = false;
        return bResult;
    }
    if (m_nProtocol == 1) {
        BYTE status = 0;
        return m_pProtocol->RequestBootProgramStatus(&status);
    }
    return false;
}

bool CFLASHDevice::Disconnect(bool bReset)
{
    if (!m_pProtocol)
        return false;
    CStatusForward attached(m_pProtocol, this, feRestore);
    if (!m_pProtocol->Disconnect(bReset))
        return false;
    m_dwBufferSize = 0;
    m_dwBufferAddress = 0;
    m_dwFreeRAM = 0;
    return true;
}

void CFLASHDevice::Cancel()
{
    std::lock_guard lock(m_protocolLock);
    m_bCancelled = true;
    if (m_pProtocol)
        m_pProtocol->Cancel();
}

void CFLASHDevice::ReplaceProtocol(CFLASHProtocol* pProtocol)
{
    // Cancel comes from another thread and must never reach a protocol being deleted.
    std::lock_guard lock(m_protocolLock);
    delete m_pProtocol;
    m_pProtocol = pProtocol;
}

void CFLASHDevice::SetBufferSize()
{
    if (!m_pDeviceID)
        return;
    if (m_pDeviceID->GetLineSize() == 0) {
        DisplayWarning("Invalid data found in DeviceID assuming lineSize of 1!", 0);
        m_pDeviceID->SetLineSize(1);
    }
    const DWORD line = m_pDeviceID->GetLineSize();
    DWORD size = RoundDown4(m_dwFreeRAM / line * line);
    const DWORD limit = Settings::MaxTargetBufferSize.Read();
    if (size > limit)
        size = limit;
    size = RoundDown4(size / line * line);
    if (size < line) {
        size = line;
        CString text;
        text.Format("Specified buffer size too small. Setting to minimum allowable size (%d)", static_cast<int>(size));
        DisplayWarning(text, 0);
    }
    m_dwBufferSize = size;
}

void CFLASHDevice::PrioritiseFunctions(eFLASHFunction function)
{
    for (int k = 0; k < 4; ++k) {
        if (m_FunctionPriority[k] != function)
            continue;
        for (int i = k; i > 0; --i)
            m_FunctionPriority[i] = m_FunctionPriority[i - 1];
        m_FunctionPriority[0] = function;
        return;
    }
    m_FunctionPriority[0] = function;
}

bool CFLASHDevice::ManageFunctionMap(eFLASHFunction function)
{
    PrioritiseFunctions(function);
    if (function == fnVerify) {
        AfxMessageBox(kNoVerify);
        return false;
    }
    if (CFLASHFunctionMap::EntryOf(function) < 0)
        return false;
    if (m_FunctionMap.GetFunction(function) != 0)
        return true;
    m_FunctionMap.SetFunction(function, CFLASHFunctionMap::kWanted);
    if (!m_bAutomaticModules)
        return false;
    return SetFunctionMap(nullptr);
}

bool CFLASHDevice::SetFunctionMap(CFLASHFunctionMap* pMap)
{
    if (!pMap)
        pMap = &m_FunctionMap;
    if (!m_pDeviceInfo || !m_pDeviceID || !m_pProtocol)
        return false;
    m_dwFreeRAM = m_dwAvailableRAM > m_dwMainKernelSize ? m_dwAvailableRAM - m_dwMainKernelSize : 0;

    // Map entry order: write, erase, read, check blank.
    const CString entries[4] = {m_pDeviceInfo->m_strWriteModule, m_pDeviceInfo->m_strEraseModule,
                                m_pDeviceInfo->m_strReadModule, m_pDeviceInfo->m_strCheckBlankModule};
    static const char* const tooBig[4] = {"Write module too big to fit in RAM", "Erase module too big to fit in RAM",
                                          "Read module too big to fit in RAM",
                                          "Check blank module too big to fit in RAM"};
    SModuleRequest request{*pMap, {}, {}, m_dwMainKernelSize, m_dwFreeRAM, m_pDeviceID->GetLineSize(),
                           m_dwRAMSize, m_bAutomaticModules};
    std::copy(std::begin(m_FunctionPriority), std::end(m_FunctionPriority), request.priority.begin());
    for (int entry : {0, 1, 3, 2})
        if (pMap->GetEntry(entry) != 0 && !MeasureFile(entries[entry], "kernel module", &request.lengths[entry]))
            return false;
    const CModulePlan plan(request);
    for (int i = 0; i < plan.VerifyNotices(); ++i)
        AfxMessageBox(kNoVerify);
    for (int entry : plan.Evicted())
        pMap->SetEntry(entry, 0);

    CStatusForward attached(m_pProtocol, this, feRestore);
    for (const CModulePlan::SPlacement& placement : plan.Placements()) {
        std::vector<BYTE> code;
        if (!ReadWholeFile(entries[placement.nEntry], "kernel module", &code))
            return false;
        // The placement was worked out from the length measured.
        if (code.size() != request.lengths[placement.nEntry]) {
            DisplayError("Kernel module '" + entries[placement.nEntry] + "' changed while it was being loaded", 15006);
            return false;
        }
        if (!m_pProtocol->DownloadFunction(placement.wAddress, placement.wLength, code.data()))
            return false;
        pMap->SetEntry(placement.nEntry, placement.wAddress);
        m_dwFreeRAM = placement.dwFreeRAMAfter;
    }
    if (plan.TooBig() >= 0) {
        pMap->SetEntry(plan.TooBig(), 0);
        DisplayError(tooBig[plan.TooBig()], 0);
        return false;
    }
    pMap->SetEntry(4, 0);
    pMap->SetEntry(5, 0);
    const int count = pMap->GetUsedCount();

    SetBufferSize();
    m_dwBufferAddress = plan.BufferAddress();
    if (!m_pProtocol->DownloadFunctionMap(pMap, static_cast<unsigned char>(count), plan.BufferAddress(),
                                          static_cast<unsigned short>(m_dwBufferSize)))
        return false;
    OnPropertyChange();
    if (count == 0 && m_dwRAMSize > kSmallRAM) {
        DisplayError("Unable to download function to target. Not enough RAM available", 0);
        return false;
    }
    return true;
}

void CFLASHDevice::OnWriteBlock(unsigned long address, unsigned long length)
{
    if (!m_pDeviceInfo || length == 0)
        return;
    const unsigned long last = address + length - 1;
    POSITION pos = m_pDeviceInfo->m_EraseBlocks.GetHeadPosition();
    while (pos) {
        auto* pBlock = static_cast<CBlockItem*>(m_pDeviceInfo->m_EraseBlocks.GetNext(pos));
        const unsigned long start = static_cast<DWORD>(pBlock->m_lStart);
        if (pBlock->IsBlockAddress(static_cast<long>(address)) || (start >= address && start <= last))
            pBlock->m_bWritten = 1;
    }
}

bool CFLASHDevice::EraseFLASHBlock(CBlockItem* pBlock)
{
    if (!pBlock || !m_pProtocol || !ManageFunctionMap(fnErase))
        return false;
    const BYTE ebr[3] = {pBlock->m_byEBR0, pBlock->m_byEBR1, pBlock->m_byEBR2};
    const DWORD start = static_cast<DWORD>(pBlock->m_lStart);
    CStatusForward attached(m_pProtocol, this, feRestore);
    if (!m_pProtocol->EraseFLASHBlock(start, start + static_cast<DWORD>(pBlock->m_lSize) - 1, ebr))
        return false;
    pBlock->m_bWritten = 0;
    pBlock->m_bEraseRequest = 0;
    return true;
}

bool CFLASHDevice::BlankCheck(bool* pBlank, unsigned long start, unsigned long length)
{
    if (!m_pProtocol || !ManageFunctionMap(fnCheckBlank))
        return false;
    CStatusForward attached(m_pProtocol, this, feRestore);
    return m_pProtocol->BlankCheck(pBlank, start, length);
}

bool CFLASHDevice::ReadData(unsigned long start, unsigned long length, unsigned char* pBuffer)
{
    if (!m_pProtocol || !ManageFunctionMap(fnRead))
        return false;
    CStatusForward attached(m_pProtocol, this, feRestore);
    return m_pProtocol->ReadData(start, length, pBuffer);
}

bool CFLASHDevice::WriteVerifyFLASH(unsigned long start, unsigned long length, unsigned char* pData, int nUnused)
{
    if (!m_pProtocol || !m_pDeviceID || !ManageFunctionMap(fnWrite))
        return false;
    if (!pData)
        return true;
    CStatusForward attached(m_pProtocol, this, feRestore);
    return m_pProtocol->WriteVerifyFLASHData(start, length, pData, PaddingFor(length), nUnused);
}

unsigned long CFLASHDevice::PaddingFor(unsigned long length) const
{
    const unsigned long line = m_pDeviceID && m_pDeviceID->GetLineSize() ? m_pDeviceID->GetLineSize() : 1;
    return length % line == 0 ? 0 : line - length % line;
}


int CFLASHDevice::BlockNumber(const CString& blockName)
{
    const std::string name = blockName.str();
    if (name.size() < 3 || name.size() > 5)
        return -1;
    int number = 0;
    for (std::size_t i = 2; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return -1;
        number = number * 10 + (name[i] - '0');
    }
    return number <= CFLASHProtocol::kLastBlockNumber ? number : -1;
}

bool CFLASHDevice::PreprationDownloadingMainKernel_ProtocolB()
{
    if (!m_pDeviceInfo)
        return false;
    m_bWrongKernel = false;
    delete m_pDeviceID;
    m_pDeviceID = new CFLASHDeviceID;
    ReplaceProtocol(new CFLASHProtocol(this, m_pComms));
    // Nothing is sent for a kernel that is not there.
    if (!MeasureFile(m_pDeviceInfo->m_strMainKernel, "main kernel", &m_dwMainKernelSize))
        return false;
    m_pProtocol->SetStatusUpdate(this);
    unsigned short lineSize = 0;
    if (!m_pProtocol->RequestLineSize(lineSize))
        lineSize = 0;
    m_dwAvailableRAM = m_dwRAMSize;
    m_dwFreeRAM = m_dwAvailableRAM > m_dwMainKernelSize ? m_dwAvailableRAM - m_dwMainKernelSize : 0;
    m_pDeviceID->SetLineSize(lineSize);
    // Boot-program addresses are always 4 bytes wide.
    m_pDeviceID->GetBitFields().SetFieldWidth(4);
    SetBufferSize();
    return true;
}

bool CFLASHDevice::DownloadBOOTModeKernel_ProtocolB()
{
    if (!m_pDeviceInfo || !m_pComms)
        return false;
    const CString entry = m_pDeviceInfo->m_strMainKernel;
    DisplayMessage("Downloading main kernel '" + entry + "'", 0);
    if (!PreprationDownloadingMainKernel_ProtocolB()) {
        DisplayMessage("Unable to download main kernel", 0);
        return false;
    }
    std::vector<BYTE> image;
    if (!ReadWholeFile(entry, "main kernel", &image))
        return false;
    const BYTE request = CFLASHProtocol::kMainKernelRequest;
    BYTE answer = 0;
    if (!m_pComms->WriteBytes(&request, 1, false) || !m_pComms->ReadBytes(&answer, 1, nullptr, false) ||
        answer != CFLASHProtocol::kAck) {
        DisplayMessage("Unable to download main kernel", 0);
        return false;
    }
    SetProgressString("Downloading kernel");
    GetProgress() += 60;
    const DWORD length = static_cast<DWORD>(image.size());
    const auto header = WireFormat::BigEndian<4>(length);
    if (!m_pComms->WriteBytes(header.data(), 4, false) ||
        (length > 0 && !m_pComms->WriteBytes(image.data(), length, false))) {
        DisplayError("", 15043);
        return false;
    }
    const BYTE sum =
        WireFormat::SumCheck(WireFormat::AddToSum(WireFormat::AddToSum(0, header.data(), 4), image.data(), length));
    if (!m_pComms->WriteBytes(&sum, 1, false) || !m_pComms->ReadBytes(&answer, 1, nullptr, false) ||
        answer != CFLASHProtocol::kAck) {
        DisplayMessage("Unable to get acknowledgement after the download main kernel", 0);
        return false;
    }
    DisplayMessage("Main kernel download complete...", 0);
    m_dwMainKernelSize = length;
    SetProgressString("Initialising kernel");
    GetProgress() += 20;
    m_pComms->UseAlternateComms(false, true);
    return true;
}

bool CFLASHDevice::DownloadModule_ProtocolB(eFLASHFunction function)
{
    if (function == fnRead || function == fnCheckBlank)
        return true;
    if (function == fnVerify) {
        AfxMessageBox(kNoVerify);
        return false;
    }
    if ((function != fnWrite && function != fnErase) || !m_pProtocol)
        return false;
    BYTE status = 0;
    {
        CStatusForward attached(m_pProtocol, this, feRestore);
        if (!m_pProtocol->RequestBootProgramStatus(&status))
            return false;
    }
    const BYTE inPlace = function == fnWrite ? CFLASHProtocol::kStatusWriteModule : CFLASHProtocol::kStatusEraseModule;
    if (status == inPlace)
        return true;
    return DownloadModule(function);
}

bool CFLASHDevice::DownloadModule(int function)
{
    if (!m_pDeviceInfo || !m_pProtocol || (function != fnWrite && function != fnErase))
        return false;
    std::vector<BYTE> code;
    if (!ReadWholeFile(function == fnWrite ? m_pDeviceInfo->m_strWriteModule : m_pDeviceInfo->m_strEraseModule,
                       "kernel module", &code))
        return false;
    CStatusForward attached(m_pProtocol, this, feRestore);
    if (!m_pProtocol->DownloadFunction_ProtocolB(function, static_cast<unsigned long>(code.size()), code.data()))
        return false;
    m_dwFreeRAM -= std::min<DWORD>(m_dwFreeRAM, static_cast<DWORD>(code.size()));
    return true;
}

bool CFLASHDevice::EraseFLASHBlock_ProtocolB(CBlockItem* pBlock)
{
    if (!pBlock || !m_pProtocol)
        return false;
    const int number = BlockNumber(pBlock->m_strBlockName);
    if (number < 0) {
        CString text;
        text.Format("Erase block '%s' has no block number: its name must be EB followed by 0 to %d",
                    static_cast<const char*>(pBlock->m_strBlockName), CFLASHProtocol::kLastBlockNumber);
        DisplayError(text, 0);
        return false;
    }
    if (!DownloadModule_ProtocolB(fnErase))
        return false;
    CStatusForward attached(m_pProtocol, this, feRestore);
    if (!m_pProtocol->EraseFLASHBlock_ProtocolB(number, 1))
        return false;
    pBlock->m_bWritten = 0;
    pBlock->m_bEraseRequest = 0;
    return true;
}

bool CFLASHDevice::EraseFLASHBlock_End()
{
    if (!m_pProtocol)
        return false;
    CStatusForward attached(m_pProtocol, this, feRestore);
    return m_pProtocol->EraseFLASHBlock_End();
}

bool CFLASHDevice::BlankCheck_ProtocolB(bool* pBlank, unsigned long start, unsigned long length)
{
    if (!m_pProtocol || !DownloadModule_ProtocolB(fnCheckBlank))
        return false;
    CStatusForward attached(m_pProtocol, this, feRestore);
    return m_pProtocol->BlankCheck_ProtocolB(pBlank, start, length);
}

bool CFLASHDevice::ReadData_ProtocolB(unsigned long start, unsigned long length, unsigned char* pBuffer)
{
    if (!m_pProtocol || !DownloadModule_ProtocolB(fnRead))
        return false;
    CStatusForward attached(m_pProtocol, this, feRestore);
    return m_pProtocol->ReadData_ProtocolB(start, length, pBuffer);
}

bool CFLASHDevice::WriteVerifyFLASH_ProtocolB(unsigned long start, unsigned long length, unsigned char* pData, int)
{
    if (!m_pProtocol || !DownloadModule_ProtocolB(fnWrite))
        return false;
    if (!pData)
        return true;
    CStatusForward attached(m_pProtocol, this, feRestore);
    return m_pProtocol->WriteVerifyFLASHData_ProtocolB(start, length, pData, PaddingFor(length));
}
