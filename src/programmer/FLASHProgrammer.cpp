// Construction, the setters that rebuild parts, the Connect dispatcher,
// OpenComms, Cancel and the small queries.
#include "programmer/FLASHProgrammer.h"

#include "devicedb/DeviceDB.h"
#include "comms/FLASHJTAGComms.h"
#include "interface/FLASHGENInterface.h"
#include "interface/FLASHKivuInterface.h"
#include "platform/Time.h"

int CFLASHProgrammer::m_nMutexIndex = 0;

namespace {
// Guards the running index: programmers may be built on several threads.
std::mutex g_mutexIndexGuard;
} // namespace

CFLASHProgrammer::CFLASHProgrammer(CFLASHComms* pComms, CFLASHDevice* pDevice, CFLASHInterface* pInterface,
                                   CString configFilePath)
    : m_pInterface(pInterface), m_pDevice(pDevice), m_pComms(pComms)
{
    CString name;
    {
        std::lock_guard guard(g_mutexIndexGuard);
        name.Format("%s%d%d", "CFLASHProgrammer", static_cast<int>(GetTickCount()), m_nMutexIndex);
        ++m_nMutexIndex;
    }
    m_pLock = new CMutex(false, name);
    GetProgress() = 0;
    SetProgressString("Not Connected");

    m_pDeviceInfo = g_FLASHDeviceDB.GetDeviceInfo(configFilePath);
    if (m_pDevice)
        m_pDevice->SetDeviceInfo(m_pDeviceInfo);
    if (m_pComms)
        m_strCommsPort = m_pComms->GetPortName();
    if (m_pDeviceInfo) {
        m_nBaudRate = static_cast<long>(m_pDeviceInfo->m_dwBaudRate0);
        m_strDefaultInterface = m_pDeviceInfo->m_strDefaultInterface;
    }
    SetFLASHComms(m_pComms);
}

CFLASHProgrammer::~CFLASHProgrammer()
{
    if (m_bConnected) {
        if (m_pComms)
            m_pComms->Close();
        if (m_pDevice)
            m_pDevice->InvalidateFunctionMap();
        m_bConnected = false;
    }
    // The device and interface refer to the channel: they go first.
    delete m_pDevice;
    delete m_pInterface;
    delete m_pComms;
    delete m_pDeviceInfo;
    delete m_pLock;
}

void CFLASHProgrammer::SetFLASHComms(CFLASHComms* pComms)
{
    m_pComms = pComms;
    if (!m_pComms)
        return;
    m_pComms->SetDeviceInfo(m_pDeviceInfo);
    if (m_pDevice)
        m_pDevice->SetFLASHComms(m_pComms);
    if (m_pInterface)
        m_pInterface->SetFLASHComms(m_pComms);
}

void CFLASHProgrammer::SetAdvancedUser(bool bAdvanced)
{
    if (m_pComms)
        m_pComms->SetAdvancedUser(bAdvanced);
    if (m_pDevice)
        m_pDevice->SetAdvancedUser(bAdvanced);
    CStatusUpdate::SetAdvancedUser(bAdvanced);
}

bool CFLASHProgrammer::IsJTAG() const
{
    return m_strCommsPort == kJTAGPortName;
}

bool CFLASHProgrammer::IsBoardType(eConnectionType type)
{
    return type == ctKivuBootMode || type == ctKivuUserMode || type == ctKivuBootDirect || type == ctKivuUserDirect;
}

void CFLASHProgrammer::SetCommsPort(const CString& port)
{
    CSingleLock lock(m_pLock, true);
    if (m_pComms) {
        const bool bNowJTAG = IsJTAG();
        const bool bWantJTAG = port == kJTAGPortName;
        if (bNowJTAG != bWantJTAG) {
            CFLASHComms* pNew = bWantJTAG ? new CFLASHJTAGComms() : new CFLASHComms(port);
            CFLASHComms* pOld = m_pComms;
            {
                CSingleLock parts(&m_csParts, true);
                pOld->Close();
                SetFLASHComms(pNew);
            }
            delete pOld;
        } else {
            m_pComms->SetPortName(port);
        }
    }
    m_strCommsPort = port;
}

void CFLASHProgrammer::SetConnectionType(eConnectionType type)
{
    if (m_pInterface && type == m_ConnectionType)
        return;
    if (m_bConnected)
        Disconnect(0, 0);
    {
        CSingleLock parts(&m_csParts, true);
        delete m_pInterface;
        m_pInterface = nullptr;
    }
    m_ConnectionType = type;
    CFLASHInterface* pInterface = nullptr;
    switch (type) {
    case ctGENBootMode:
        pInterface = new CFLASHGENInterface(m_pComms);
        break;
    case ctGENUserMode:
        pInterface = IsJTAG() ? new CFLASHInterface(m_pComms) : new CFLASHGENInterface(m_pComms);
        break;
    case ctKivuBootMode:
    case ctKivuUserMode:
    case ctKivuBootDirect:
    case ctKivuUserDirect:
        pInterface = new CFLASHKivuInterface(m_pComms);
        break;
    default:
        break;
    }
    if (pInterface) {
        pInterface->SetDeviceInfo(m_pDeviceInfo);
        CSingleLock parts(&m_csParts, true);
        m_pInterface = pInterface;
    }
    SetAdvancedUser(m_MessageLevel == mlAdvanced);
}

void CFLASHProgrammer::SetMessageLevel(eMessageLevel level)
{
    m_MessageLevel = level;
    SetAdvancedUser(level == mlAdvanced);
}

void CFLASHProgrammer::SetProtocol(long nProtocol)
{
    m_nProtocol = nProtocol;
    if (m_pDevice)
        m_pDevice->SetProtocol(static_cast<int>(nProtocol));
    if (m_pDeviceInfo)
        m_pDeviceInfo->m_nProtocol = static_cast<std::int32_t>(nProtocol);
}

void CFLASHProgrammer::SetKernelPath(const CString& path)
{
    m_strKernelPath = path;
    if (m_pDeviceInfo)
        m_pDeviceInfo->SetAlternateKernelPath(m_strKernelPath);
}

CString CFLASHProgrammer::GetMutexName() const
{
    return m_pLock->GetName();
}

long CFLASHProgrammer::GetDefaultBaud() const
{
    return m_pDeviceInfo ? static_cast<long>(m_pDeviceInfo->m_dwBaudRate0) : 0;
}

DWORD CFLASHProgrammer::GetFLASHSize() const
{
    return m_pDeviceInfo ? m_pDeviceInfo->m_dwFLASHROMSize : 0;
}

CString CFLASHProgrammer::GetDeviceName() const
{
    return m_pDevice ? m_pDevice->GetDeviceName() : CString();
}

CFLASHBinaryImage* CFLASHProgrammer::CreateImage()
{
    if (!m_pDeviceInfo)
        return nullptr;
    return new CFLASHBinaryImage(static_cast<int>(m_pDeviceInfo->m_dwFLASHROMSize), nullptr);
}

bool CFLASHProgrammer::VerifyImage(CBinaryImage*)
{
    return false;
}

void CFLASHProgrammer::Test()
{
    AfxMessageBox("You are trying to download a file");
}

bool CFLASHProgrammer::IsReallyConnected()
{
    CSingleLock lock(m_pLock, true);
    return m_pDevice ? m_pDevice->IsReallyConnected() : false;
}

bool CFLASHProgrammer::OpenComms()
{
    CString text = "Opening port '" + m_strCommsPort + "' ...";
    SetProgressString(text);
    DisplayMessage(text, 0);
    CStatusForward forward(m_pComms, this, feDetach);
    if (m_pComms && m_pComms->Open(nullptr))
        return true;
    forward.End();
    CString failed;
    failed.LoadString(15026);
    SetProgressString(failed);
    DisplayError("", 15026);
    return false;
}

bool CFLASHProgrammer::Connect()
{
    OnPropertyChange();
    m_bCancel = false;
    if (m_pDevice && m_bConnected && m_pDevice->IsReallyConnected())
        return true;
    if (m_bConnected) {
        if (QueryUser("The connection has been lost, re-connect?", qtYesNo) == qtNo) {
            m_bConnected = false;
            return false;
        }
    }
    m_bConnected = false;
    bool bResult = false;
    switch (m_ConnectionType) {
    case ctKivuBootMode:
        bResult = ConnectKivuBootMode();
        break;
    case ctKivuUserMode:
        bResult = ConnectKivuUserMode();
        break;
    case ctGENBootMode:
        bResult = ConnectGENBootMode();
        break;
    case ctGENUserMode:
        bResult = ConnectGENUserMode();
        break;
    case ctKivuBootDirect:
        bResult = ConnectKivuBootDirect();
        break;
    case ctGENBootDirect:
        bResult = ConnectGENBootDirect();
        break;
    case ctGENUserDirect:
        bResult = ConnectGENUserDirect();
        break;
    case ctKivuUserDirect:
        bResult = ConnectKivuUserDirect();
        break;
    default:
        break;
    }
    if (!m_bConnected && m_pComms)
        m_pComms->Close();
    return bResult;
}

void CFLASHProgrammer::Cancel()
{
    CSingleLock lock(m_pLock);
    if (lock.Lock(0)) {
        lock.Unlock();
        return;
    }
    if (m_bBusy)
        DisplayMessage("Operation cancelled", 0);
    do {
        m_bCancel = true;
        CSingleLock parts(&m_csParts, true);
        if (m_pInterface)
            m_pInterface->Cancel();
        if (m_pComms)
            m_pComms->Cancel();
        if (m_bBusy && m_pDevice)
            m_pDevice->Cancel();
        parts.Unlock();
    } while (!lock.Lock(10));
    lock.Unlock();
}
