#pragma once
// The programming interface for targets on the Kivu board. The PC speaks
// framed commands to the board's controller, which switches the target's
// supplies and mode pins, resets it, boots it, takes the micro-kernel for it,
// sets up both serial links and can relay bytes transparently. The frames
// and what the library expects in the answers are in docs/kivu-board.md.
#include "interface/FLASHInterface.h"

class CFLASHKivuInterface : public CFLASHInterface
{
    ZF_DECLARE_DYNAMIC(CFLASHKivuInterface)
public:
    // Board ports the library uses.
    static constexpr unsigned short kPortVersionMajor = 0x00FE;
    static constexpr unsigned short kPortVersionMinor = 0x00FF;
    static constexpr unsigned short kPortMDy = 0xFFB3;
    static constexpr unsigned short kPortSCI1Control = 0xFFE1;
    static constexpr unsigned short kPortSCI1Transmit = 0xFFE3;
    static constexpr unsigned short kPortSCI1Status = 0xFFE4;
    static constexpr unsigned short kPortDownloadOption = 0xFF7E;
    // Status answers longer than this are read and the rest dropped.
    static constexpr unsigned kStatusBytes = 4;

    explicit CFLASHKivuInterface(CFLASHComms* pComms);

    // bPartial leaves the mode pins and the board itself alone.
    bool ResetTarget(bool bPartial) override;
    bool SetupSCIMax() override;
    bool SetupSCIMin() override;
    // Stores the boot baud code the board reports (one byte).
    bool BootSCI(unsigned char* pCode) override;
    // pBuffer: 4-byte work buffer, or null.
    bool ChangeBaud(unsigned long nNewRate, unsigned long nPresentRate, unsigned char* pBuffer,
                    BaudCalcType type) override;
    bool Download(unsigned char* pData, unsigned long nSize) override;
    bool Enable12V(bool bEnable) override;
    bool EnableMDx(bool bEnable) override;
    bool EnableMDy(bool bEnable) override;
    bool EnableVpp(bool bEnable) override;
    bool GetVersion(unsigned short* pVersion) override;
    // bModeByte first sends 0x55 out of the board's SCI1 (RunPMODECommand).
    bool GoTransparent(bool bModeByte) override;
    bool Initialise() override;
    bool LoadCommand(unsigned char* pCommand, unsigned long nLength) override;
    // Stores the port's value (one byte).
    bool ReadPort(unsigned short nAddress, unsigned char* pValue) override;
    bool Reset() override;
    bool RunCommand() override;
    bool SetReset(bool bOn) override;
    // pParameters: the five-byte block (link, rate code, 1, 0, 0); pBuffer
    // (one byte, may be null) keeps the last byte read.
    bool SetupSCI(unsigned char* pParameters, unsigned char* pBuffer) override;
    // Fills up to kStatusBytes bytes.
    bool Status(unsigned char* pStatus) override;
    // nOperation: 0 store, 1 AND the value in, 2 OR it in.
    bool WritePort(unsigned short nAddress, unsigned char* pValue, unsigned char nOperation) override;
    virtual bool RunPMODECommand();

    bool ResetSCI1();

    DWORD GetBoardVariant() const { return m_dwBoardVariant; }
    unsigned short GetFirmwareVersion() const { return m_wFirmwareVersion; }

protected:
    // Reads an answer frame; up to nCapacity data bytes go to pBuffer.
    bool Response(unsigned char* pBuffer, unsigned char nExpected, unsigned nCapacity = 1);
    // An answer that comes after the board has worked for up to nSeconds. A
    // mismatching status byte is left in *pStatus.
    bool GetTimedResponse(unsigned char* pBuffer, unsigned char nExpected, int nSeconds, unsigned char* pStatus);

    // 0 for board firmware major version 1, 1 for later ones.
    DWORD m_dwBoardVariant = 0;
    unsigned short m_wFirmwareVersion = 0;

private:
    void SendFrame(BYTE nCommand, const BYTE* pData, BYTE nLength);
    bool ReadOne(BYTE& nByte);
    bool EnableLine(BYTE nCommand, bool bEnable, const char* pszOn, const char* pszOff);
    bool SetupPCLink(BYTE nRateCode, unsigned char* pBuffer);
    // Block mode: 128-byte writes, then the board's echo read back as a whole.
    bool SendBlocks(const unsigned char* pData, unsigned long nSize);
    bool SendBytesEchoed(const unsigned char* pData, unsigned long nSize);
};
