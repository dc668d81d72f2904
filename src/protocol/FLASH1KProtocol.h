#pragma once
// The classic protocol as spoken to the kernels of 1K devices, whose RAM holds
// one program at a time: each operation module is sent in the middle of its
// command, over the main kernel, and downloads carry only a length and code.
#include "protocol/FLASHProtocol.h"

class CFLASH1KProtocol : public CFLASHProtocol
{
public:
    CFLASH1KProtocol(CFLASHProtocolDevice* pDevice, CFLASHComms* pComms) : CFLASHProtocol(pDevice, pComms) {}

    bool EraseFLASHBlock(unsigned long start, unsigned long end, const unsigned char* pEBR) override;
    bool BlankCheck(bool* pBlank, unsigned long start, unsigned long length) override;
    bool ReadData(unsigned long start, unsigned long length, unsigned char* pBuffer) override;
    bool WriteVerifyFLASHData(unsigned long start, unsigned long length, unsigned char* pData, unsigned long padding,
                              int nUnused) override;
    // Sends the buffer address and size, and only while the buffer-map flag is up.
    bool DownloadFunctionMap(CFLASHFunctionMap* pMap, unsigned char count, unsigned short bufferAddress,
                             unsigned short bufferSize) override;
    // The address is not sent: the code always goes to the start of the kernel area.
    bool DownloadFunction(unsigned short address, unsigned short length, unsigned char* pCode) override;

    // Raised by the device while it places the write module.
    void SetBufferMap(bool bBufferMap) { m_bBufferMap = bBufferMap; }
    bool GetBufferMap() const { return m_bBufferMap; }

private:
    bool m_bBufferMap = false;
};

// For 1K kernels started in USER mode: the identity reply carries the RAM top.
class CFLASH1KUserModeProtocol : public CFLASH1KProtocol
{
public:
    CFLASH1KUserModeProtocol(CFLASHProtocolDevice* pDevice, CFLASHComms* pComms) : CFLASH1KProtocol(pDevice, pComms) {}
    bool ReadDeviceID(unsigned char identifier) override;
};
