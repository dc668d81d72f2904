#pragma once
// What the virtual target knows about the chip it plays: the device definition
// file (the same file the library reads, read here on its own) and its
// [Simulator] section, which the library ignores.
#include <utility>
#include <vector>

#include "platform/String.h"
#include "platform/Types.h"
#include "sim/SimBaud.h"
#include "sim/SimFaults.h"

// How the target starts after power-on or a reset.
enum eSimStartMode
{
    smBoot = 0,         // boot program (BOOT mode pins)
    smUser = 1,         // the chip's own program with its USER-mode loader
    smBootResident = 2, // a BOOT-mode main kernel already running
    smUserResident = 3, // a USER-mode main kernel already running
};

class CSimBlock
{
public:
    CString m_strName;
    DWORD m_dwStart = 0;
    DWORD m_dwSize = 0;
    BYTE m_byEBR[3] = {0, 0, 0};
};

// "KEY=VALUE" settings that win over the [Simulator] section of the file.
using CSimOverrides = std::vector<std::pair<CString, CString>>;

class CSimDefinition
{
public:
    // Reads the definition. False, with the reason in *pError, when the file is
    // missing or describes a chip this target cannot play.
    bool Load(const CString& path, const CSimOverrides& overrides, CString* pError);

    // Parses one "KEY=VALUE" text; false for text without '='.
    static bool ParseOverride(const CString& text, std::pair<CString, CString>* pOverride);
    // Names of every [Simulator] key, for messages and documentation.
    static const std::vector<const char*>& SimulatorKeys();
    static const char* StartModeName(eSimStartMode mode);

    // The device, from [Device Info] and the erase-block sections.
    CString m_strPath;
    CString m_strName; // "Device Code", or the file name without extension
    BYTE m_byKernelHandshake = 0;
    double m_dClockMHz = 0.0;
    eSimBRRFormula m_eFormula = bfSimpleDivide;
    DWORD m_dwRAMSize = 0;
    DWORD m_dwFLASHSize = 0;
    DWORD m_dwBaudRate0 = 0;
    bool m_bAutoErase = false;
    bool m_bProtocolB = false; // "Protocol" 1: framed, sum-checked commands to the boot program
    bool m_bOverlay = false;   // "Main Function Overlay": each module is loaded over the main kernel
    // Kernel and module files, resolved against the definition's folder.
    CString m_strMicroKernel;
    CString m_strUserMicroKernel;
    CString m_strMainKernel;
    CString m_strUserMainKernel;
    CString m_strWriteModule;
    CString m_strEraseModule;
    CString m_strReadModule;
    CString m_strCheckBlankModule;
    std::vector<CSimBlock> m_Blocks;

    // The [Simulator] section.
    eSimStartMode m_eStartMode = smBoot;
    DWORD m_dwBootRate = 9600;
    DWORD m_dwResidentRate = 0;
    BYTE m_byBootBRR = 0; // register value at the boot rate
    BYTE m_byUserBRR = 0; // register value of the USER-mode loader at 9600
    WORD m_wKernelWord = 0x0100;
    WORD m_wLineSize = 128;
    WORD m_wWorkArea = 256;
    BYTE m_byBitFields = 0x0F;
    BYTE m_byHandshake = 0;
    WORD m_wUserRAMTop = 0;
    CString m_strUserCommand;
    DWORD m_dwUserCommandRate = 9600;
    DWORD m_dwEraseTime = 0;     // milliseconds per erased block
    DWORD m_dwAutoEraseTime = 0; // milliseconds of the boot program's automatic erase
    BYTE m_byFLASHFill = 0xFF;
    bool m_bFailOverwrite = false;
    bool m_bThrottle = false;
    DWORD m_dwRateTolerance = 3;
    DWORD m_dwByteTimeout = 1000;  // between the bytes of one command
    DWORD m_dwReplyTimeout = 30000; // for the host's reply within a read or write
    CSimFaults m_Faults;

    // Width of the address and size fields, and the count of erase-register bytes.
    int AddressWidth() const { return ((m_byBitFields >> 2) & 3) + 1; }
    int EBRCount() const { return m_byBitFields & 3; }
    bool IsUserKernelFlagSet() const { return (m_byBitFields & 0x40) != 0; }

private:
    // Load's steps, in order: each may use what the ones before it read.
    bool CheckOverrides(CString* pError) const;
    bool ReadDevice(CString* pError);
    bool ReadBlocks(CString* pError);
    bool ReadStart(CString* pError);
    bool ReadRates(CString* pError);
    bool ReadKernelShape(CString* pError);
    bool ReadFaults(CString* pError);

    CString Simulator(const char* key, const char* strDefault) const;
    bool SimNumber(const char* key, DWORD nDefault, DWORD nMax, DWORD* pValue, CString* pError) const;
    bool SimFlag(const char* key, bool* pValue, CString* pError) const;
    // The chip's BRR value for a rate within the tolerance; false with the reason when none gives it.
    bool RegisterFor(DWORD rate, BYTE* pBRR, const char* what, CString* pError) const;
    bool ReadFaultPhase(CString* pError);
    CString ResolvePath(const CString& entry) const;

    CString m_strFolder;
    CSimOverrides m_Overrides;
};
