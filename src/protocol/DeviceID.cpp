#include "protocol/DeviceID.h"

void DeviceIDBitFields::SetFieldWidth(int nWidth)
{
    const DWORD bits = static_cast<DWORD>((nWidth < 1 ? 1 : nWidth > 4 ? 4 : nWidth) - 1);
    m_dwValue = (m_dwValue & ~0x0Cu) | (bits << 2);
}

int DeviceIDBitFields::EncodeField(DWORD dwValue, BYTE* pOut) const
{
    const int width = GetFieldWidth();
    WireFormat::PutBigEndian(dwValue, width, pOut);
    return width;
}

void CFLASHDeviceID::LoadReply(const BYTE* pReply)
{
    m_byKernelWord[0] = pReply[0];
    m_byKernelWord[1] = pReply[1];
    m_wLineSize = static_cast<WORD>(pReply[2] | (pReply[3] << 8));
    m_wKernelWorkArea = static_cast<WORD>(pReply[4] | (pReply[5] << 8));
    m_BitFields.SetLowByte(pReply[6]);
}
