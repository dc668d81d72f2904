#pragma once
// A programming interface: brings a target into a programming mode over a
// channel, drives its mode and supply pins, and moves the micro-kernel and the
// PC's port together to a faster rate. The base does nothing successfully for
// every operation; the direct and board interfaces override what they have.
//
// The slot order below is the one the concrete interfaces override.
#include <atomic>

#include "comms/FLASHComms.h"
#include "devicedb/BaudCalcType.h"
#include "platform/StatusUpdate.h"
#include "platform/Types.h"

class CDeviceInfo;

class CFLASHInterface : public CStatusUpdate
{
    ZF_DECLARE_DYNAMIC(CFLASHInterface)
public:
    using BaudCalcType = ::BaudCalcType;
    static constexpr BaudCalcType ctSimpleDivide = ::ctSimpleDivide;
    static constexpr BaudCalcType ctPavFormula = ::ctPavFormula;
    static constexpr BaudCalcType ctLomFormula = ::ctLomFormula;
    static constexpr BaudCalcType ctRivFormula = ::ctRivFormula;

    // The byte a boot sequence reports as the target's present rate.
    static constexpr BYTE kBootCode1200 = 0xB0;
    static constexpr BYTE kBootCode2400 = 0xB1;
    static constexpr BYTE kBootCode4800 = 0xB2;
    static constexpr BYTE kBootCode9600 = 0xB3;
    static constexpr BYTE kBootCode19200 = 0xB4;
    // The rate of a boot code; 0 for any other byte.
    static DWORD BootCodeRate(unsigned long code);

    explicit CFLASHInterface(CFLASHComms* pComms);
    CFLASHInterface(const CFLASHInterface&) = delete;
    CFLASHInterface& operator=(const CFLASHInterface&) = delete;
    ~CFLASHInterface() override = default;

    virtual bool ResetTarget(bool bFull);
    virtual void SetFLASHComms(CFLASHComms* pComms);
    virtual void Cancel();
    virtual bool SetupSCIMax();
    virtual bool SetupSCIMin();
    virtual bool BootSCI(unsigned char* pCode);
    virtual bool ChangeBaud(unsigned long nNewRate, unsigned long nPresentRate, unsigned char* pBuffer,
                            BaudCalcType type);
    virtual bool ChangeBaud_ProtocolB(unsigned long nNewRate, unsigned long nPresentRate, unsigned char* pBuffer,
                                      BaudCalcType type, float fFrequency, int nCKPDivisor, int nCKMDivisor);
    virtual bool Download(unsigned char* pData, unsigned long nSize);
    virtual bool Enable12V(bool bEnable);
    virtual bool EnableMDx(bool bEnable);
    virtual bool EnableMDy(bool bEnable);
    virtual bool EnableVpp(bool bEnable);
    virtual bool GetVersion(unsigned short* pVersion);
    virtual bool GoTransparent(bool bTransparent);
    virtual bool Initialise();
    virtual bool LoadCommand(unsigned char* pCommand, unsigned long nLength);
    virtual bool ReadPort(unsigned short nAddress, unsigned char* pValue);
    virtual bool Reset();
    virtual bool RunCommand();
    virtual bool SetReset(bool bOn);
    virtual bool SetupSCI(unsigned char* pParameters, unsigned char* pBuffer);
    virtual bool Status(unsigned char* pStatus);
    virtual bool WritePort(unsigned short nAddress, unsigned char* pData, unsigned char nCount);
    virtual void SetDeviceInfo(CDeviceInfo* pDeviceInfo);

protected:
    // The micro-kernel has been told to change rate and sends its present BRR;
    // answers with the BRR for the new rate. nPresentRate is a boot code, or
    // for ctSimpleDivide also a plain rate.
    virtual bool PerformMicroKernelBaudChange(unsigned long nNewRate, unsigned long nPresentRate, BaudCalcType type);
    // The boot loader's new-bit-rate selection command and its answer.
    virtual bool PerformMicroKernelBaudChange_Protcol_B(unsigned long nNewRate, unsigned long nPresentRate,
                                                        BaudCalcType type, float fFrequency, int nCKPDivisor,
                                                        int nCKMDivisor, bool bAlternativeCommand);

public:
    // The BRR to send for a new rate: false when the values give none (a
    // present rate the formula cannot use, a new rate below the present one
    // for the simple divider, a result outside 0..255). Other types echo nReceived.
    static bool CalculateBRR(unsigned long nNewRate, unsigned long nPresentRate, BaudCalcType type,
                             BYTE nReceived, BYTE* pBRR);
    // The Protocol B new-bit-rate frame, sum check last: all its bytes sum to 0.
    static constexpr int kProtocolBFrameSize = 10;
    static void BuildProtocolBFrame(unsigned long nNewRate, float fFrequency, int nCKPDivisor, int nCKMDivisor,
                                    bool bAlternativeCommand, BYTE frame[kProtocolBFrameSize]);
    static CString ProtocolBErrorText(BYTE code);

protected:
    // Ends the channel's forwarding to this interface.
    void DetachComms();

    CDeviceInfo* m_pDeviceInfo = nullptr;
    CFLASHComms* m_pComms = nullptr;
    std::atomic<bool> m_bCancel{false};
};
