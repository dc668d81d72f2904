#include "protocol/FLASH1KProtocol.h"

#include "device/DeviceID.h"
#include "device/FLASHDevice.h"

bool CFLASH1KUserModeProtocol::ReadDeviceID(unsigned char identifier)
{
    return ReadUserModeDeviceID(identifier);
}

bool CFLASH1KProtocol::DownloadFunction(unsigned short, unsigned short length, unsigned char* pCode)
{
    if (!m_pComms || (!pCode && length > 0))
        return false;
    const BYTE header[2] = {static_cast<BYTE>(length >> 8), static_cast<BYTE>(length)};
    return m_pComms->WriteBytes(header, 2, false) && (length == 0 || m_pComms->WriteBytes(pCode, length, false));
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
    const int nWidth = m_pDeviceID->GetFieldWidth();
    SendField(start, nWidth);
    SendField(end, nWidth);
    const int nEBR = m_pDeviceID->GetEraseRegisterCount();
    if (nEBR > 0 && pEBR)
        m_pComms->WriteBytes(pEBR, static_cast<unsigned long>(nEBR), false);
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
    if (!m_pComms || !m_pDeviceID || !m_pDevice || (!pData && length > 0))
        return false;
    m_bCancelled = false;
    const unsigned long announced = length + padding;
    const int nLengthWidth = LengthWidth(announced);
    m_byLastCommand = static_cast<BYTE>(kWriteBase | (nLengthWidth << 5));
    if (!SendByte(m_byLastCommand) || !SendField(announced, nLengthWidth) ||
        !SendField(start, m_pDeviceID->GetFieldWidth())) {
        DisplayError("Failed to send command parameters", 0);
        return false;
    }
    // Placing the write module sizes the buffer and sends its address and size.
    if (!m_pDevice->ManageFunctionMap(fnWrite))
        return false;
    const unsigned long bufferSize = m_pDevice->GetBufferSize();
    if (bufferSize == 0 && length > 0) {
        DisplayError("The target has no data buffer: its size is 0", 0);
        return false;
    }

    unsigned long address = start;
    unsigned long remaining = length;
    while (remaining > 0) {
        const unsigned long chunk = remaining < bufferSize ? remaining : bufferSize;
        for (unsigned long i = 0; i < chunk; ++i) {
            if (!SendByte(pData[i])) {
                DisplayError("Data transfer failed", 0);
                return false;
            }
        }
        // The padding the length announced follows the last chunk.
        if (chunk == remaining) {
            for (unsigned long i = 0; i < padding; ++i) {
                if (!SendByte(0xFF)) {
                    DisplayError("Data transfer failed", 0);
                    return false;
                }
            }
        }
        m_pDevice->OnWriteBlock(address, chunk);
        address += chunk;
        pData += chunk;
        GetProgress() += static_cast<DWORD>(chunk);

        BYTE reply = 0;
        if (!m_pComms->ReadBytes(&reply, 1, nullptr, true))
            return false;
        // 0x10 counts like a verified chunk, as in the classic write.
        if (reply != kWriteVerified && reply != kWriteAccepted) {
            DisplayError("", 15028);
            return false;
        }
        if (m_bCancelled) {
            if (!SendByte(kAbort))
                return false;
            break;
        }
        if (!SendByte(kChunkAgain)) {
            DisplayError("Failed to send mid-transfer command parameter", 0);
            return false;
        }
        remaining -= chunk;
    }
    BYTE status = 0;
    const bool bRead = m_pComms->ReadBytes(&status, 1, nullptr, true);
    if (m_bCancelled)
        return true;
    if (!bRead) {
        DisplayError("Failed to receive acknowledge byte.", 0);
        return false;
    }
    return status != kWriteFailed;
}
