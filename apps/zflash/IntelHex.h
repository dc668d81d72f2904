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

class CIntelHex
{
public:
    // One run of bytes at an address; runs arrive in file order.
    using DataSink = std::function<void(DWORD nAddress, const BYTE* pBytes, DWORD nLength)>;

    // False with "line N: reason" in *pError on the first malformed record.
    // pStart receives the start address record's value, when there is one.
    static bool Parse(std::string_view text, const DataSink& sink, std::string* pError, DWORD* pStart = nullptr);
    // Reads the whole file; the image is untouched unless every record is good.
    static bool Load(const char* pszPath, CBinaryImage* pImage, std::string* pError);
    // Writes the image's data ranges within [nFrom, nTo], 16 bytes a record.
    static bool Save(const char* pszPath, CBinaryImage* pImage, DWORD nFrom, DWORD nTo, std::string* pError);
    static constexpr DWORD kRecordBytes = 16;
};
