#pragma once
// Image files as the tool sees them: the library's forms (S-record, FPR, CDE)
// plus Intel HEX and raw binary, chosen by extension or by --format. Unlike
// the library's interactive loader, a malformed S-record file is an error
// here, not silently programmed as raw bytes.
#include <string>
#include <vector>

#include "platform/Types.h"

class CBinaryImage;
class CStatusUpdate;

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

    // nBase: where byte 0 of a raw file goes. pSink gets the library's messages.
    // Whether the file is there to be read; false with the reason.
    static bool CanRead(const std::string& path, std::string* pError);
    static bool Load(const std::string& path, eImageFormat format, DWORD nBase, CBinaryImage* pImage,
                     CStatusUpdate* pSink, std::string* pError);
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
