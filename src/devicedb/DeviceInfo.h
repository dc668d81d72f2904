#pragma once
// Everything known about one target device before talking to it, loaded from
// its definition file. The programmer, interfaces, device and protocols read
// the fields directly.
//
// Kernel and module entries are kept exactly as the file wrote them. A
// relative entry is meant relative to the folder of the definition file;
// ResolvePath turns it into the path to open.
#include <cstdint>

#include "devicedb/BaudCalcType.h"
#include "devicedb/BlockItem.h"
#include "platform/List.h"
#include "platform/Object.h"
#include "platform/String.h"
#include "platform/Types.h"

class CDeviceInfo : public CObject
{
    ZF_DECLARE_DYNAMIC(CDeviceInfo)
public:
    // More erase blocks than this are not read from a definition: real parts
    // have a few dozen, and a count in the millions must not exhaust memory.
    static constexpr int kMaxEraseBlocks = 1024;

    CDeviceInfo() = default;
    // Copies every field of pSource, the erase blocks included (each a fresh
    // copy, neither written nor requested). The path is not used.
    CDeviceInfo(const CDeviceInfo* pSource, const CString& path);
    CDeviceInfo(const CDeviceInfo&) = delete;
    CDeviceInfo& operator=(const CDeviceInfo&) = delete;
    ~CDeviceInfo() override;

    void Serialize(CArchive& ar) override;
    virtual CString GetBaseDeviceName() const { return m_strBaseDevice; }

    // Fills the record from the definition file; a missing file or key gives its default.
    void LoadDeviceInfo(CString path);
    // Kernel files are opened as the definition names them.
    void SetAlternateKernelPath(const CString&) {}

    // A kernel or module entry as a path to open: an absolute entry as it
    // stands, a relative one under the definition's folder (the working folder
    // when the record did not come from a file). "\" separators written for
    // other hosts count as "/". Empty stays empty. The stored entry is unchanged.
    CString ResolvePath(const CString& entry) const;
    // Absolute folder of the definition file last loaded; empty when none.
    const CString& GetDefinitionFolder() const { return m_strDefinitionFolder; }

    // Every stored field and every block definition equal (not the state flags of
    // the blocks, nor the definition folder, which archives do not carry).
    bool HasSameDefinition(const CDeviceInfo& other) const;
    // Deletes every erase block and empties the list.
    void ClearEraseBlocks();

    static CString s_KernelRootPath;

    BYTE m_byKernelHandshake = 0;
    CString m_strEVBName;
    CString m_strBaseDevice;
    CString m_strMicroKernel;
    CString m_strUserMicroKernel;
    CString m_strMainKernel;
    CString m_strUserMainKernel;
    DWORD m_dwBaudRate0 = 0;
    // Left as it was when the text names no formula.
    BaudCalcType m_eBRRFormula = ctSimpleDivide;
    CString m_strBRRFormula;
    CString m_strCheckBlankModule;
    CString m_strEraseModule;
    DWORD m_dwRAMSize = 0;
    CString m_strReadModule;
    CString m_strVerifyModule;
    CString m_strWriteModule;
    CString m_strDefaultInterface;
    DWORD m_dwFLASHROMSize = 0;
    BOOL m_bJTAGAvailable = 0;
    WORD m_wJTAGDefaultTCKDiv = 0;
    WORD m_wJTAGDefaultCLK = 0;
    BOOL m_bBOOTModeAutoErase = 0;
    // CBlockItem entries in file order, owned.
    CObList m_EraseBlocks;
    double m_dEVBClock = 0.0;
    std::int32_t m_nProtocol = 0;
    CString m_strTechnology;
    DWORD m_dwReserved1[4] = {};
    CString m_strDeviceCode;
    CString m_strProductCode;
    CString m_strReserved[4];
    DWORD m_dwReserved2[4] = {};
    std::int32_t m_nMainFunctionOverlay = 0;

private:
    void SerializeEraseBlocks(CArchive& ar);
    // Empties what a load fills and records the definition's folder.
    void ResetForLoad(const CString& path);

    CString m_strDefinitionFolder;
};
