#pragma once
// Image files as the tool sees them: the library's forms (S-record, FPR, CDE)
// plus Intel HEX and raw binary, chosen by extension or by --format. Unlike
// the library's interactive loader, a malformed S-record file is an error
// here, not silently programmed as raw bytes.
#include <string>
#include <string_view>
#include <vector>

#include "platform/Types.h"

class CBinaryImage;
class CStatusUpdate;
class CRecordOverlap;

enum eImageFormat { ifAuto, ifSRecord, ifFPR, ifCDE, ifIntelHex, ifRaw };

struct SImageRange
{
    DWORD first;
    DWORD last;
};

class CImageFiles
{
public:
    // "srec", "fpr", "cde", "hex", "raw" (and a few spellings); ifAuto when unknown.
    static eImageFormat FormatFromName(const std::string& name);
    static const char* FormatName(eImageFormat format);
    // By extension: .hex/.ihex/.ihx Intel HEX, .bin/.raw raw, .fpr, .cde, else S-record.
    static eImageFormat FormatFromPath(const std::string& path);

    // Most data bytes an image may hold: far beyond any device's FLASH, well
    // inside what the image model can hold. Binary files (raw, CDE, FPR) above
    // it and text files above kMaxTextBytes are refused from their size.
    static constexpr unsigned long long kMaxDataBytes = 32ULL << 20;
    static constexpr unsigned long long kMaxTextBytes = 160ULL << 20;

    // Whether the file is there to be read: a regular, readable file (a
    // device or FIFO is refused without being opened); false with the reason.
    static bool CanRead(const std::string& path, std::string* pError);
    // nBase: where byte 0 of a raw file goes. pSink gets the library's messages.
    // bLenient reads S-record and Intel HEX files as the library's reader does.
    static bool Load(const std::string& path, eImageFormat format, DWORD nBase, CBinaryImage* pImage,
                     CStatusUpdate* pSink, std::string* pError, bool bLenient = false);
    // The tool's own readers on bytes in memory: Intel HEX and raw are loaded,
    // an S-record text only checked (CheckSRecords).
    static bool LoadBytes(std::string_view bytes, eImageFormat format, DWORD nBase, CBinaryImage* pImage,
                          std::string* pError, bool bLenient = false);
    // What the library's S-record reader lets through and a careful user wants
    // to hear of: a non-hex digit, characters after the checksum, a second,
    // different value for one address; and more data than kMaxDataBytes.
    // Reads records up to the first termination record, as the library does.
    static bool CheckSRecords(std::string_view text, bool bLenient, std::string* pError);
    // Writes [nFrom, nTo] of the image. Raw writes the bytes from nFrom (or the
    // first data) to nTo (or the last data), gaps as H'FF.
    static bool Save(const std::string& path, eImageFormat format, CBinaryImage* pImage, DWORD nFrom, DWORD nTo,
                     CStatusUpdate* pSink, std::string* pError);

    static std::vector<SImageRange> Ranges(CBinaryImage* pImage);
    // The bytes of [nFrom, nTo], gaps as H'FF.
    static std::vector<BYTE> Extract(CBinaryImage* pImage, DWORD nFrom, DWORD nTo);
    static unsigned long long DataBytes(const std::vector<SImageRange>& ranges);
    // CRC-32 (IEEE) of the data bytes in address order, so two images can be compared at a glance.
    static DWORD Checksum(CBinaryImage* pImage, const std::vector<SImageRange>& ranges);
};
