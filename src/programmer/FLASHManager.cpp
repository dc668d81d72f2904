// The factory of programmers.
#include "programmer/FLASHManager.h"

#include "comms/FLASHJTAGComms.h"
#include "comms/Scanlet.h"
#include "device/FLASH1KDevice.h"
#include "devicedb/DeviceDB.h"
#include "platform/Module.h"

#include <mutex>

CFLASHManager FLASHManager;

bool CFLASHManager::Initialise(CString)
{
    CString folder = GetExecutableFolder();
    // The module name is limited to 255 characters.
    if (folder.GetLength() > 255)
        folder = folder.Left(255);
    // Each programmer's host may call this, from its own thread; the folder
    // never changes, so only the first call writes and later readers race with nothing.
    static std::mutex s_lock;
    std::lock_guard lock(s_lock);
    if (CDeviceInfo::s_KernelRootPath != folder + "Kernels")
        CDeviceInfo::s_KernelRootPath = folder + "Kernels";
    g_FLASHDeviceDB.LoadDB("");
    return true;
}

bool CFLASHManager::IsPeltoInstalled()
{
    return Scanlet::VerifyInstallation() != 0;
}

CFLASHProgrammer* CFLASHManager::CreateFLASHProgrammer(const CString& deviceName, const CString& portName,
                                                       eConnectionType connectionType,
                                                       eProtectionType protectionType, eMessageLevel messageLevel,
                                                       const CString& kernelPath, long nProtocol, float fFrequency,
                                                       int nCKPDivisor, int nCKMDivisor, int nClockMode,
                                                       CString configFilePath)
{
    if (!g_FLASHDeviceDB.FindDevice(configFilePath))
        return nullptr;
    CFLASHComms* pComms = nullptr;
    if (portName == CFLASHProgrammer::kJTAGPortName)
        pComms = new CFLASHJTAGComms();
    else
        pComms = new CFLASHComms(portName);
    CDeviceInfo* pInfo = g_FLASHDeviceDB.GetDeviceInfo(configFilePath);
    CFLASHDevice* pDevice = nullptr;
    if (deviceName == CFLASHDeviceDB::kGenericDevice || !pInfo || pInfo->m_nMainFunctionOverlay == 0)
        pDevice = new CFLASHDevice(deviceName, pComms, true);
    else
        pDevice = new CFLASH1KDevice(deviceName, pComms, true);
    auto* pProgrammer = new CFLASHProgrammer(pComms, pDevice, nullptr, configFilePath);
    pProgrammer->SetConnectionType(connectionType);
    pProgrammer->SetProtectionType(protectionType);
    pProgrammer->SetMessageLevel(messageLevel);
    pProgrammer->SetProtocol(nProtocol);
    pProgrammer->SetFrequency(fFrequency);
    pProgrammer->SetCKMDivisor(nCKMDivisor);
    pProgrammer->SetCKPDivisor(nCKPDivisor);
    pProgrammer->SetClockMode(nClockMode);
    pProgrammer->SetConfigFilePath(configFilePath);
    pProgrammer->SetKernelPath(kernelPath);
    delete pInfo;
    return pProgrammer;
}
