#pragma once
// Reading image files into a CBinaryImage and writing a range of one out:
// S-record text files, FPR record files, CDE flat images and raw data. The
// form follows the file name's extension ("fpr", "cde", anything else
// S-record); raw data is only used when an S-record file does not parse.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/StatusUpdate.h"
#include "platform/Types.h"

class CBinaryImage;

enum FileType : int { ftNone = 0, ftSRecord = 1, ftFPR = 2, ftCDE = 3, ftRawData = 4 };

class CBinaryImageFile : public CStatusUpdate
{
    ZF_DECLARE_DYNAMIC(CBinaryImageFile)
public:
    // Longest line read from an S-record file, line end included.
    static constexpr int kMaxLine = 600;
    static constexpr DWORD kRunSize = 500;
    static constexpr DWORD kSRecordChunk = 16;
    static constexpr DWORD kFPRChunk = 200;
    static constexpr DWORD kCDEChunk = 500;

    CBinaryImageFile();
    CBinaryImageFile(const CBinaryImageFile&) = delete;
    CBinaryImageFile& operator=(const CBinaryImageFile&) = delete;
    ~CBinaryImageFile() override;

    virtual int LoadFile(const char* pszPath, CBinaryImage* pImage, int bShowStatus);
    virtual int SaveFile(const char* pszPath, DWORD nFrom, DWORD nTo, CBinaryImage* pImage, int bShowStatus,
                         int bKeepHistory);
    // Safe from another thread: polled between runs (load) and chunks (save).
    virtual void Abort();
    virtual char* GetFileName();
    virtual void OpenFile(const char* pszPath, int bForReading);
    virtual void CloseFile();
    virtual void ProcessSave(DWORD nAddress, DWORD nLength, BYTE* pBytes);
    virtual void ProcessLoad(DWORD* pAddress, DWORD* pLength, BYTE* pBytes);
    virtual void SaveSRECData(DWORD nAddress, DWORD nLength, BYTE* pBytes);
    virtual void LoadSRECData(DWORD* pAddress, DWORD* pLength, BYTE* pBytes);
    virtual void StartSaveRecord(DWORD nHighestAddress);
    virtual void StartLoadRecord();
    virtual void EndSaveRecord();
    virtual void EndCDESave(DWORD nLastAddress, CBinaryImage* pImage);
    // pLine needs room for 2 * nLength + 16 characters.
    virtual void BinToSRecord(DWORD nAddress, BYTE* pBytes, char* pLine, int nLength);
    // 1, 2, 3 data record; 0 header; 4 termination; -1 malformed.
    virtual int SRecordToBin(char* pLine);
    virtual int CheckSum(char* pLine, long nCount);
    virtual void Type0Decode(char* pFrom, char* pTo);
    virtual void Type1Decode(char* pFrom, char* pTo);
    virtual void Type2Decode(char* pFrom, char* pTo);
    virtual void Type3Decode(char* pFrom, char* pTo);
    virtual void SaveFPRData(DWORD nAddress, DWORD nLength, BYTE* pBytes);
    virtual void LoadFPRData(DWORD* pAddress, DWORD* pLength, BYTE* pBytes);
    virtual int OnFPRWrite();
    virtual int OnFPRRead();
    virtual void SaveCDEData(DWORD nAddress, DWORD nLength, BYTE* pBytes);
    virtual void LoadCDEData(DWORD* pAddress, DWORD* pLength, BYTE* pBytes);
    virtual int LoadNormalFile(const char* pszPath, CBinaryImage* pImage, int bShowStatus);
    virtual int htob(char* pDigit);

    FileType GetFileType() const { return m_nFileType; }
    const char* GetModuleName() const { return m_strModuleName.c_str(); }
    int GetAddressWidth() const { return m_nAddressWidth; }
    // Whether the last read failed or met a malformed record.
    bool HasError() const { return m_bError; }
    bool IsAborted() const { return m_bAbort; }

protected:
    // Opens the stream and sets the type; a path that is not a regular file
    // is refused with a message, so a directory never reaches the readers.
    void OpenAs(const char* pszPath, int bForReading, FileType nType);
    static FileType TypeFromExtension(const char* pszPath);
    // Stores gathered runs of records until the end, an error or an abort.
    void GatherAndStore(CBinaryImage* pImage, int bShowStatus);
    void ReportProgress(int bShowStatus);
    void ShowPercent(int bShowStatus);
    // "Loading File name" or "Saving File name" in the first status pane.
    void ShowFileName(const char* pszVerb, int bShowStatus);
    void EndStatus();
    // The progress text, and a message naming the path after it.
    void Announce(const char* pszWhat, const char* pszBeforePath, const char* pszPath);
    // Opens, reads and stores a file; raw data is taken whatever the form.
    int Load(const char* pszPath, CBinaryImage* pImage, int bShowStatus, bool bRaw);
    // Announces the load and reads what comes before the records; false for
    // a form that cannot be read.
    bool StartReading(const char* pszPath, bool bRaw);
    // A data record's address (nAddressBytes of them) and bytes.
    void DecodeData(const char* pFrom, const char* pTo, int nAddressBytes);
    // Blank bytes up to the next CDE range or the padded end; false at a
    // refused write.
    bool WriteBlank(DWORD nCount);
    // False (after a message) when the stream saw a write error.
    bool FinishWriting(const char* pszPath);

    FILE* m_pFile = nullptr;
    std::unique_ptr<char[]> m_pStreamBuffer;
    std::string m_strFileName;
    std::string m_strModuleName;
    FileType m_nFileType = ftNone;
    int m_nAddressWidth = 1;
    BYTE m_RecordBuffer[256] = {};
    DWORD m_nRecordAddress = 0;
    DWORD m_nRecordLength = 0;
    bool m_bError = false;
    std::atomic<bool> m_bAbort{false};
    CBinaryImage* m_pImage = nullptr;
    long m_nFileLength = 0;
    char m_Line[kMaxLine + 1] = {};
};

// The file object of the editable FLASH image: it can be told the form to
// write whatever the file name's extension says.
class CFLASHBinaryImageFile : public CBinaryImageFile
{
    ZF_DECLARE_DYNAMIC(CFLASHBinaryImageFile)
public:
    CFLASHBinaryImageFile() = default;

    // The next OpenFile takes this type instead of the extension's.
    virtual void ForceFileType(FileType nType);
    void OpenFile(const char* pszPath, int bForReading) override;

private:
    bool m_bForce = false;
    FileType m_nForcedType = ftNone;
};
