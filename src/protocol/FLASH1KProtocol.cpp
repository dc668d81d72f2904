#include "protocol/FLASH1KProtocol.h"

#include "platform/WireFormat.h"
#include "protocol/DeviceID.h"

bool CFLASH1KUserModeProtocol::ReadDeviceID(unsigned char identifier)
{
    return ReadUserModeDeviceID(identifier);
}

bool CFLASH1KProtocol::DownloadFunction(unsigned short, unsigned short length, unsigned char* pCode)
{
    if (!m_pComms || (!pCode && length > 0))
        return false;
    const auto header = WireFormat::BigEndian<2>(length);
    return m_pComms->WriteBytes(header.data(), 2, false) && (length == 0 || m_pComms->WriteBytes(pCode, length, false));
}

bool CFLASH1KProtocol::DownloadFunctionMap(CFLASHFunctionMap*, unsigned char, unsigned short bufferAddress,
                                           unsigned short bufferSize)
{
    if (!m_bBufferMap)
        return true;
    return SendField(bufferAddress, 2) && SendField(bufferSize, 2);
}

bool CFLASH1KProtocol::EraseFLASHBlock(unsigned long start, unsigned long end, const unsigned char* pEBR)
{
    if (!m_pComms || !m_pDeviceID || !m_pDevice)
        return false;
    m_byLastCommand = kErase;
    if (!SendByte(kErase) || !m_pDevice->ManageFunctionMap(fnErase))
        return false;
    SendEraseRange(start, end, pEBR);
    BYTE last = kEraseRunning;
    while (last == kEraseRunning) {
        if (!m_pComms->ReadBytes(&last, 1, nullptr, false))
            return false;
    }
    return last == kEraseDone;
}

bool CFLASH1KProtocol::BlankCheck(bool* pBlank, unsigned long start, unsigned long length)
{
    if (!m_pComms || !m_pDeviceID || !m_pDevice || !pBlank)
        return false;
    Attach();
    m_byLastCommand = kBlankCheck;
    const bool bResult =
        SendByte(kBlankCheck) && m_pDevice->ManageFunctionMap(fnCheckBlank) && BlankCheckRange(pBlank, start, length);
    Detach();
    return bResult;
}

bool CFLASH1KProtocol::ReadData(unsigned long start, unsigned long length, unsigned char* pBuffer)
{
    return ReadTransfer(start, length, pBuffer, true);
}

bool CFLASH1KProtocol::WriteVerifyFLASHData(unsigned long start, unsigned long length, unsigned char* pData,
                                            unsigned long padding, int)
{
    return WriteTransfer(start, length, pData, padding, true);
}
