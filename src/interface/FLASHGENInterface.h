#pragma once
// The direct interface: the target is wired to the PC's serial port and the PC
// plays the programming interface itself. In BOOT mode it matches the boot
// program's bit rate, downloads the micro-kernel with echo checking, waits for
// an automatic erase where the device does one, and changes rate together with
// the micro-kernel. Supply and mode pins go through a small adapter on the
// same line that speaks framed commands.
#include "interface/FLASHInterface.h"

class CFLASHGENInterface : public CFLASHInterface
{
    ZF_DECLARE_DYNAMIC(CFLASHGENInterface)
public:
    explicit CFLASHGENInterface(CFLASHComms* pComms);

    bool SetupSCIMax() override;
    bool SetupSCIMin() override;
    // Stores the boot code of the rate that answered (0 when cancelled there).
    bool BootSCI(unsigned char* pCode) override;
    bool ChangeBaud(unsigned long nNewRate, unsigned long nPresentRate, unsigned char* pBuffer,
                    BaudCalcType type) override;
    bool ChangeBaud_ProtocolB(unsigned long nNewRate, unsigned long nPresentRate, unsigned char* pBuffer,
                              BaudCalcType type, float fFrequency, int nCKPDivisor, int nCKMDivisor) override;
    bool Download(unsigned char* pData, unsigned long nSize) override;
    bool Enable12V(bool bEnable) override;
    bool EnableMDx(bool bEnable) override;
    bool EnableMDy(bool bEnable) override;
    bool EnableVpp(bool bEnable) override;
    bool GetVersion(unsigned short* pVersion) override;
    bool GoTransparent(bool bTransparent) override;
    bool SetReset(bool bOn) override;
    // pParameters[1] selects the rate (0 1200 ... 7 115200, others keep it).
    bool SetupSCI(unsigned char* pParameters, unsigned char* pBuffer) override;
    // Bit-rate matching and the boot program's acknowledgement at the present rate.
    virtual bool ZeroTransmission();

    // The highest rate BootSCI tries; 0 stands for 9600.
    DWORD m_dwHighestBootRate = 0;

    // The rate code SetupSCI takes for a rate (3, 9600, for one not listed).
    static BYTE RateCode(unsigned long nRate);

protected:
    // Reads an adapter answer; its data bytes go to pBuffer when given.
    bool Response(unsigned char* pBuffer, unsigned char nExpected);

private:
    // Sends one adapter frame: 0xAA, command, length, data, 0x55. The text,
    // when given, is shown after the length byte.
    void SendFrame(BYTE nCommand, const BYTE* pData, BYTE nLength, const char* pszAfterLength);
    bool EnableLine(BYTE nCommand, bool bEnable, const char* pszOn, const char* pszOff);
    // Reads the automatic erase's confirmation for "EraseTimeout" seconds
    // after an acknowledge that did not come.
    bool WaitForBootErase();
};
