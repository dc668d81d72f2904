#pragma once
// Intel HEX, the other text form compilers and linkers write: records of
// ":LLAAAATT<data>CC" with 16-bit offsets, widened by extended segment (02)
// or extended linear (04) address records. The reader checks every record and
// names the line and the reason of the first fault; it never stores a byte of
// a file it rejects.
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Types.h"

class CBinaryImage;
class CRecordOverlap;

class CIntelHex
{
public:
    // One run of bytes at an address; runs arrive in file order.
    using DataSink = std::function<void(DWORD nAddress, const BYTE* pBytes, DWORD nLength)>;

    // False with "line N: reason" in *pError on the first malformed record.
    // pStart receives the start address record's value, when there is one.
    // Strict, a non-hex digit, characters after the checksum and (given
    // pOverlap) a second value for one address are faults; bLenient reads a
    // non-hex digit as 0, ignores what follows the checksum and lets a later
    // record win, as the S-record reader of the library does.
    static bool Parse(std::string_view text, const DataSink& sink, std::string* pError, DWORD* pStart = nullptr,
                      bool bLenient = false, CRecordOverlap* pOverlap = nullptr);
    // Reads the whole file; the image is untouched unless every record is good.
    static bool Load(const char* pszPath, CBinaryImage* pImage, std::string* pError, bool bLenient = false);
    // The same from text in memory.
    static bool LoadText(std::string_view text, CBinaryImage* pImage, std::string* pError, bool bLenient = false);
    // Writes the image's data ranges within [nFrom, nTo], 16 bytes a record.
    static bool Save(const char* pszPath, CBinaryImage* pImage, DWORD nFrom, DWORD nTo, std::string* pError);
    static constexpr DWORD kRecordBytes = 16;
};
