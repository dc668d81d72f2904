#pragma once
// The target microcontroller for one connection: downloads and starts the
// main kernel, reads its identity, places operation modules and the data
// buffer in the RAM left over, and runs the four FLASH operations through the
// protocol object it owns.
#include <atomic>
#include <mutex>
#include <vector>

#include "comms/FLASHComms.h"
#include "platform/StatusUpdate.h"
#include "platform/String.h"
#include "platform/Types.h"
#include "protocol/DeviceID.h"
#include "protocol/FLASHProtocolDevice.h"
#include "protocol/FunctionMap.h"

class CBlockItem;
class CDeviceInfo;
class CFLASHProtocol;

class CFLASHDevice : public CStatusUpdate, public CFLASHProtocolDevice
{
public:
    // Devices with this much RAM or less keep only the most recent module.
    static constexpr DWORD kSmallRAM = 0x800;

    CFLASHDevice(const CString& name, CFLASHComms* pComms, bool bAutomaticModules);
    CFLASHDevice(const CFLASHDevice&) = delete;
    CFLASHDevice& operator=(const CFLASHDevice&) = delete;
    ~CFLASHDevice() override;

    void SetAdvancedUser(bool bAdvanced) override;

protected:
    void OnWriteBlock(unsigned long address, unsigned long length) override;
    virtual void PrioritiseFunctions(eFLASHFunction function);
    bool ManageFunctionMap(eFLASHFunction function) override;
    void MarkWrongKernel() override { m_bWrongKernel = true; }

public:
    virtual void SetBufferSize(unsigned short size) { m_dwBufferSize = size; }
    virtual void SetBufferSize();
    virtual void SetFLASHComms(CFLASHComms* pComms);
    virtual bool Disconnect(bool bReset);
    // May come from another thread.
    virtual void Cancel();
    virtual bool BlankCheck(bool* pBlank, unsigned long start, unsigned long length);
    virtual void InvalidateFunctionMap() { m_FunctionMap.Invalidate(); }
    virtual bool IsReallyConnected();
    // The record's RAM and FLASH sizes hold from here on, before any connection.
    virtual void SetDeviceInfo(CDeviceInfo* pDeviceInfo);
    virtual CString GetDeviceName() const { return m_strDeviceName; }
    virtual bool EraseFLASHBlock(CBlockItem* pBlock);
    virtual CFLASHFunctionMap* GetFunctionMap() { return &m_FunctionMap; }
    virtual bool ReadData(unsigned long start, unsigned long length, unsigned char* pBuffer);
    virtual bool SetFunctionMap(CFLASHFunctionMap* pMap);
    virtual bool WriteVerifyFLASH(unsigned long start, unsigned long length, unsigned char* pData, int nUnused);
    virtual bool Initialise();
    virtual bool InitialiseBOOTModeKernel();
    virtual bool InitialiseUSERModeKernel();
    virtual bool DownloadBOOTModeKernel();
    virtual bool DownloadUSERModeKernel();
    // Protocol B: the boot program takes the main kernel and the write and
    // erase modules; blank check and read need no module.
    virtual bool DownloadBOOTModeKernel_ProtocolB();
    virtual bool PreprationDownloadingMainKernel_ProtocolB();
    virtual bool WriteVerifyFLASH_ProtocolB(unsigned long start, unsigned long length, unsigned char* pData,
                                            int nUnused);
    virtual bool ReadData_ProtocolB(unsigned long start, unsigned long length, unsigned char* pBuffer);
    // Downloads the module unless the boot program's status shows it in place.
    virtual bool DownloadModule_ProtocolB(eFLASHFunction function);
    virtual bool DownloadModule(int function);
    virtual bool EraseFLASHBlock_ProtocolB(CBlockItem* pBlock);
    virtual bool BlankCheck_ProtocolB(bool* pBlank, unsigned long start, unsigned long length);
    virtual bool EraseFLASHBlock_End();

    void SetProtocol(int nProtocol) { m_nProtocol = nProtocol; }
    int GetProtocol() const { return m_nProtocol; }
    CFLASHDeviceID* GetDeviceID() const override { return m_pDeviceID; }
    CFLASHProtocol* GetFLASHProtocol() const { return m_pProtocol; }
    CDeviceInfo* GetDeviceInfo() const { return m_pDeviceInfo; }
    CFLASHComms* GetFLASHComms() const { return m_pComms; }
    DWORD GetBufferSize() const override { return m_dwBufferSize; }
    DWORD GetBufferAddress() const { return m_dwBufferAddress; }
    DWORD GetFreeRAM() const { return m_dwFreeRAM; }
    DWORD GetAvailableRAM() const { return m_dwAvailableRAM; }
    DWORD GetRAMSize() const { return m_dwRAMSize; }
    DWORD GetFLASHSize() const { return m_dwFLASHSize; }
    DWORD GetMainKernelSize() const { return m_dwMainKernelSize; }
    BYTE GetIdentifier() const { return m_byIdentifier; }
    bool IsWrongKernel() const { return m_bWrongKernel; }
    bool IsConnected() const { return m_bConnected; }
    bool IsCancelled() const { return m_bCancelled.load(); }
    void SetAutomaticModules(bool b) { m_bAutomaticModules = b; }
    const eFLASHFunction* GetFunctionPriority() const { return m_FunctionPriority; }

    // Gives each started kernel its identifier.
    static CFLASHUniqueIDCounter m_sCurrentUniqueID;

    // The number a Protocol B erase block goes by: its name after the first
    // two characters ("EB12" is 12); -1 when that is not a decimal number the
    // boot program accepts.
    static int BlockNumber(const CString& blockName);

protected:
    void ReplaceProtocol(CFLASHProtocol* pProtocol);

    // Makes the protocol object for a kernel just started.
    using ProtocolFactory = CFLASHProtocol* (*)(CFLASHDevice* pDevice, CFLASHComms* pComms, bool bUser);
    bool DownloadMainKernel(bool bUser);
    bool InitialiseKernel(bool bUser, ProtocolFactory pFactory, bool bWarnLargeKernel);
    // Length of a kernel or module file; false with the report when it cannot be opened.
    bool MeasureFile(const CString& entry, const char* pszWhat, DWORD* pLength);
    bool ReadWholeFile(const CString& entry, const char* pszWhat, std::vector<BYTE>* pData);
    bool HandshakeAccepted() const;
    CString KernelEntry(bool bUser) const;
    // 0xFF bytes that make a write of this length whole lines.
    unsigned long PaddingFor(unsigned long length) const;

    eFLASHFunction m_FunctionPriority[4] = {fnWrite, fnErase, fnCheckBlank, fnRead};
    DWORD m_dwMainKernelSize = 0;
    bool m_bAutomaticModules;
    std::atomic<bool> m_bCancelled{false};
    CString m_strDeviceName;
    CFLASHComms* m_pComms;
    CFLASHProtocol* m_pProtocol = nullptr;
    // Guards m_pProtocol's replacement against Cancel.
    std::mutex m_protocolLock;
    CFLASHDeviceID* m_pDeviceID = nullptr;
    CFLASHFunctionMap m_FunctionMap;
    DWORD m_dwBufferSize = 0;
    DWORD m_dwBufferAddress = 0;
    DWORD m_dwFreeRAM = 0;
    DWORD m_dwRAMSize = 0;
    DWORD m_dwAvailableRAM = 0;
    DWORD m_dwFLASHSize = 0;
    CDeviceInfo* m_pDeviceInfo = nullptr;
    BYTE m_byIdentifier = 0;
    int m_nProtocol = 0;
    bool m_bWrongKernel = false;
    bool m_bConnected = false;
};
