#pragma once
// The central object of one connection to one device. It owns the channel,
// the programming interface, the device and its own copy of the device
// definition, keeps the connection settings and runs every connection-level
// operation: the eight connection sequences, writing, erasing, blank checking,
// reading back, disconnecting and production jobs.
//
// Every long operation holds the programmer's named mutex for its whole run;
// Cancel may come from another thread and never blocks on it.
#include <atomic>
#include <functional>
#include <initializer_list>
#include <vector>

#include "comms/FLASHComms.h"
#include "device/FLASHDevice.h"
#include "devicedb/DeviceInfo.h"
#include "image/FLASHBinaryImage.h"
#include "interface/FLASHInterface.h"
#include "platform/List.h"
#include "platform/StatusUpdate.h"
#include "platform/String.h"
#include "platform/Sync.h"
#include "platform/Types.h"

class CBinaryImage;
class CBlockItem;
class COTPConfig;
class CWritePlan;

// The eight connection sequences; the values are the ones hosts store.
enum eConnectionType {
    ctKivuBootMode = 0,
    ctKivuUserMode = 1,
    ctGENBootMode = 2,
    ctGENUserMode = 3,
    ctKivuBootDirect = 4,
    ctGENBootDirect = 5,
    ctGENUserDirect = 6,
    ctKivuUserDirect = 7,
};

// What WriteImage does with written blocks the image touches.
enum eProtectionType {
    ptEraseAutomatically = 0, // erase without asking
    ptAskBeforeErase = 1,     // offer each block to the user
    ptNeverErase = 2,         // write over them (the default)
};

enum eMessageLevel {
    mlNormal = 0,
    mlAdvanced = 1,
};

class CFLASHProgrammer : public CStatusUpdate
{
public:
    // The port name of the JTAG adapter; any other name is a serial port.
    static constexpr const char* kJTAGPortName = "Quarn Pelto";

    // Takes ownership of the three parts; pInterface may be null.
    CFLASHProgrammer(CFLASHComms* pComms, CFLASHDevice* pDevice, CFLASHInterface* pInterface, CString configFilePath);
    CFLASHProgrammer(const CFLASHProgrammer&) = delete;
    CFLASHProgrammer& operator=(const CFLASHProgrammer&) = delete;
    ~CFLASHProgrammer() override;

    void SetAdvancedUser(bool bAdvanced) override;

protected:
    virtual void SetFLASHComms(CFLASHComms* pComms);

public:
    virtual bool GetCancelFlag() const { return m_bCancel.load(); }
    virtual bool OpenComms();
    // Returns at once while the connection is alive; otherwise runs the
    // sequence of the connection type.
    virtual bool Connect();
    virtual bool ConnectKivuBootMode();
    virtual bool ConnectKivuUserMode();
    virtual bool ConnectGENBootMode();
    virtual bool ConnectGENUserMode();
    virtual bool ConnectGENBootDirect();
    virtual bool ConnectGENUserDirect();
    virtual bool ConnectKivuBootDirect();
    virtual bool ConnectKivuUserDirect();

    // Returns only after the running operation has released the lock.
    void Cancel();

    // Writing and read-back verification.
    bool WriteImage(CFLASHBinaryImage* pImage);
    bool ReadbackVerify(CFLASHBinaryImage* pWritten);
    // Always false: verification is ReadbackVerify's.
    bool VerifyImage(CBinaryImage* pImage);

    // Erase, blank check, block list and read-back.
    bool EraseFLASH();
    bool EraseFLASHBlocks(CObList* pBlocks);
    bool BuildBlockEraseList();
    bool ClearBlockEraseList();
    bool BlankCheck(bool* pBlank);
    // A null image makes a new one that the caller owns: FLASH-sized with the
    // bytes at their address when atAddress is nonzero, else length bytes from 0.
    CFLASHBinaryImage* ReadImage(int atAddress, CFLASHBinaryImage* pImage, unsigned long start,
                                 unsigned long length);

    bool Disconnect(int offerReset, int noReset);

    // One production job: write, disconnect, log.
    bool OTPWriteFLASH(CFLASHBinaryImage* pImage, COTPConfig* pConfig);

    // Setters that rebuild a part.
    void SetCommsPort(const CString& port);
    void SetConnectionType(eConnectionType type);
    void SetMessageLevel(eMessageLevel level);
    void SetProtocol(long nProtocol);
    void SetKernelPath(const CString& path);

    // Plain setters.
    void SetProtectionType(eProtectionType type) { m_ProtectionType = type; }
    void SetCKPDivisor(int n) { m_nCKPDivisor = n; }
    void SetCKMDivisor(int n) { m_nCKMDivisor = n; }
    void SetClockMode(int n) { m_nClockMode = n; }
    void SetConfigFilePath(const CString& path) { m_strConfigFilePath = path; }
    void SetBaudRate(long nBaudRate) { m_nBaudRate = nBaudRate; }
    // Stored as hundredths: 16.0 is kept as 1600.0.
    void SetFrequency(float fFrequency) { m_fFrequency = fFrequency * 100.0f; }
    void SetConnectionEstablished(bool bConnected) { m_bConnected = bConnected; }

    CFLASHComms* GetFLASHComms() const { return m_pComms; }
    CFLASHDevice* GetFLASHDevice() const { return m_pDevice; }
    CFLASHInterface* GetFLASHInterface() const { return m_pInterface; }
    CDeviceInfo* GetDeviceInfo() const { return m_pDeviceInfo; }
    long GetBaudRate() const { return m_nBaudRate; }
    CString GetCommsPort() const { return m_strCommsPort; }
    CString GetKernelPath() const { return m_strKernelPath; }
    float GetFrequency() const { return m_fFrequency; }
    long GetProtocol() const { return m_nProtocol; }
    int GetCKPDivisor() const { return m_nCKPDivisor; }
    int GetCKMDivisor() const { return m_nCKMDivisor; }
    int GetClockMode() const { return m_nClockMode; }
    CString GetConfigFilePath() const { return m_strConfigFilePath; }
    eConnectionType GetConnectionType() const { return m_ConnectionType; }
    eProtectionType GetProtectionType() const { return m_ProtectionType; }
    eMessageLevel GetMessageLevel() const { return m_MessageLevel; }
    CString GetDefaultInterface() const { return m_strDefaultInterface; }
    bool IsConnected() const { return m_bConnected.load(); }
    bool IsBusy() const { return m_bBusy.load(); }
    bool IsAutoErased() const { return m_bAutoErased.load(); }
    // The name of the programmer's mutex, unique in the process.
    CString GetMutexName() const;

    long GetDefaultBaud() const;
    DWORD GetFLASHSize() const;
    CString GetDeviceName() const;
    // A FLASH-sized image owned by the caller; null without a definition.
    CFLASHBinaryImage* CreateImage();
    void Test();
    bool IsReallyConnected();

    // The board search order: the programmer's rate first when nonzero, then
    // the standard rates from fastest down without repeating it.
    static int BoardSearchRates(long nBaudRate, long* pRates, int nMax);

    // Numbers the mutex names across all programmers of the process.
    static int m_nMutexIndex;

protected:
    // What a connection step tells its sequence.
    enum eStep
    {
        stNext,   // go on with the next step
        stFailed, // the sequence returns false
        stDone,   // the sequence returns true: connected, cancelled or declined
    };
    using ConnectStep = std::function<eStep()>;
    // Runs a connection sequence under the lock: the steps in order, until
    // one does not say stNext.
    bool RunSequence(std::initializer_list<ConnectStep> steps);
    static eStep NextIf(bool bOK) { return bOK ? stNext : stFailed; }
    static eStep Finished(bool bResult) { return bResult ? stDone : stFailed; }
    eStep CancelPoint() const { return m_bCancel ? stDone : stNext; }

    // Opening steps shared by the connection sequences.
    bool OpenConnection(const char* pszConfiguration, bool bResetProgress);
    // The programmer's baud rate on the channel (its result is not needed).
    void ApplyBaudRate();
    // Channel messages go to the programmer while it routes to the alternate.
    bool UseAlternateLine();
    // Direct BOOT mode: the line to the boot program, then its handshake.
    eStep PrepareBootProgram();
    eStep BootHandshake(unsigned char* pBootCode);
    // The micro-kernel through the interface, then progress to negotiation.
    // bBoard: a failed download also sets the board back to 9600.
    eStep SendMicroKernel(bool bBoard);
    // Sends the definition's micro-kernel through the interface. False when the
    // file is missing or the download failed (both reported); a download cut
    // short by a cancel is no failure.
    bool DownloadMicroKernel();
    // The micro-kernel's (or the USER-mode program's) rate change, announced.
    void AnnounceRateChange();
    eStep ChangeRate(unsigned char nBootCode, bool bProtocolB);
    // The device's Initialise and the BOOT-mode main kernel download.
    eStep StartBootKernel(bool bProtocolB);
    // How a sequence gets its main kernel running.
    enum eKernelStart
    {
        ksBootResident, // a BOOT-mode kernel already runs
        ksUserResident, // a USER-mode kernel already runs
        ksUserDownload, // the chip's own program loads one
    };
    // The device's Initialise, the kernel start and the check that the kernel
    // answers, the device's messages going to pSink meanwhile.
    bool StartDeviceKernel(eKernelStart start, CStatusUpdate* pSink);
    // Completion steps: progress 100, connected, block list and blank check.
    bool CompleteConnection();
    // A BOOT-mode completion: no blank check after the boot program erased.
    bool CompleteBootConnection();
    // A resident kernel found: connected, told, then the completion steps.
    bool CompleteResidentConnection();
    void ReportConnectionComplete();
    // Types 5 and 6.
    bool ConnectGENResident(bool bUserMode);
    // Board sequences. A kernel still running is taken over (connected on
    // return when so).
    bool FindInitialisedDevice(bool bUserMode);
    bool HasBoardInterface();
    // The channel brought to the board's link.
    eStep PrepareBoard(bool bUserMode);
    // The board puts the target in BOOT mode and boots it, keeping the boot
    // program's bit-rate value; or puts it in USER mode.
    eStep SwitchBoardToBoot(unsigned char* pBootCode);
    eStep SwitchBoardToUser();
    eStep ChangeRateThroughBoard(unsigned char nBootCode);
    eStep ReachUserModeTarget();
    // Types 4 and 7.
    bool ConnectKivuResident(bool bUserMode);
    // Board connection types (0, 1, 4, 7).
    static bool IsBoardType(eConnectionType type);
    bool IsJTAG() const;
    bool EraseBlock(CBlockItem* pBlock);
    // After a classic erase: false (with the blocks named) when a block of
    // `erased` (by start) still holds data, or one that held data and was
    // not to be erased has gone blank.
    bool ErasedAsAsked(const std::vector<DWORD>& erased);
    // True when `erased` holds every block and the span they cover reads blank.
    bool WholeFLASHReadsBlank(const std::vector<DWORD>& erased);
    // False (with a message) unless the range reads back all H'FF.
    bool ReadsBlank(DWORD nStart, DWORD nLength);
    // The parts of a write that move bytes, in the order the plan gives.
    // *pCancelled: the user cancelled, or a cancel stopped the writing.
    bool EraseForWrite(const CWritePlan& plan, std::vector<const CBlockItem*>* pErased, bool* pCancelled);
    bool WriteRanges(CFLASHBinaryImage& image, const CWritePlan& plan, bool* pCancelled);
    bool CloseProtocolBWrite();
    // Runs before the erase operations and the block-list build: true when
    // the connection just made had the device erased (the user was told).
    bool AutoErasedOnConnect(bool* pConnected);

    // Marks a long operation as running, so that Cancel also stops the device.
    class CBusy
    {
    public:
        explicit CBusy(std::atomic<bool>& flag) : m_flag(flag), m_bPrevious(flag.exchange(true)) {}
        ~CBusy() { m_flag = m_bPrevious; }
        CBusy(const CBusy&) = delete;
        CBusy& operator=(const CBusy&) = delete;

    private:
        std::atomic<bool>& m_flag;
        bool m_bPrevious;
    };

    std::atomic<bool> m_bBusy{false};
    std::atomic<bool> m_bAutoErased{false};
    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bCancel{false};
    CFLASHInterface* m_pInterface = nullptr;
    CFLASHDevice* m_pDevice = nullptr;
    CFLASHComms* m_pComms = nullptr;
    CDeviceInfo* m_pDeviceInfo = nullptr;
    long m_nBaudRate = 0;
    CString m_strCommsPort;
    CString m_strDefaultInterface;
    CString m_strKernelPath;
    eConnectionType m_ConnectionType = ctGENBootMode;
    eProtectionType m_ProtectionType = ptNeverErase;
    eMessageLevel m_MessageLevel = mlNormal;
    CMutex* m_pLock = nullptr;
    float m_fFrequency = 0.0f;
    int m_nCKPDivisor = 0;
    int m_nCKMDivisor = 0;
    long m_nProtocol = 0;
    int m_nClockMode = 0;
    CString m_strConfigFilePath;
    // Guards the part pointers against a Cancel from another thread while a
    // setter replaces them.
    CCriticalSection m_csParts;

private:
    // Disconnecting with a reset through the board: false when the board's
    // line cannot be opened. The search asks the user and tries each rate.
    bool DisconnectWithReset();
    bool SearchForBoard();
};
