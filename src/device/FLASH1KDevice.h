#pragma once
// A target whose RAM (about 1 KB) holds one program at a time: each operation
// module is loaded over the main kernel in the middle of its command, and the
// main kernel is sent again once the operation is over.
#include "device/FLASHDevice.h"

class CFLASH1KDevice : public CFLASHDevice
{
public:
    CFLASH1KDevice(const CString& name, CFLASHComms* pComms, bool bAutomaticModules)
        : CFLASHDevice(name, pComms, bAutomaticModules)
    {
    }

protected:
    // Only one module is ever resident: there is nothing to rank.
    void PrioritiseFunctions(eFLASHFunction) override {}
    bool ManageFunctionMap(eFLASHFunction function) override;

public:
    bool BlankCheck(bool* pBlank, unsigned long start, unsigned long length) override;
    bool EraseFLASHBlock(CBlockItem* pBlock) override;
    bool ReadData(unsigned long start, unsigned long length, unsigned char* pBuffer) override;
    bool WriteVerifyFLASH(unsigned long start, unsigned long length, unsigned char* pData, int nUnused) override;
    bool InitialiseBOOTModeKernel() override;
    bool InitialiseUSERModeKernel() override;
    bool DownloadBOOTModeKernel() override;
    // Places the write module, nothing more.
    virtual bool WriteFLASH(unsigned long start, unsigned long length, unsigned char* pData, int nUnused);

    // Sends the main kernel of the current mode again, over whatever module ran.
    bool ReDownloadMainKernel();
    bool IsUserMode() const { return m_bUserMode; }

private:
    bool m_bUserMode = false;
};
