#pragma once
// The rules every frame on the line keeps, in one place: numbers travel most
// significant byte first; a checked frame ends with the byte that brings the
// sum of all its bytes to 0 (mod 256); a size reads "512 Bytes", "2 K" or "1.88 K".
#include <array>
#include <cstddef>

#include "platform/String.h"
#include "platform/Types.h"

namespace WireFormat {

// The low nWidth (1 to 4) bytes of value, most significant first.
inline void PutBigEndian(unsigned long value, int nWidth, BYTE* pOut)
{
    for (int i = 0; i < nWidth; ++i)
        pOut[i] = static_cast<BYTE>(value >> (8 * (nWidth - 1 - i)));
}

template <int N>
std::array<BYTE, N> BigEndian(unsigned long value)
{
    std::array<BYTE, N> bytes{};
    PutBigEndian(value, N, bytes.data());
    return bytes;
}

inline DWORD GetBigEndian(const BYTE* pBytes, int nWidth)
{
    DWORD value = 0;
    for (int i = 0; i < nWidth; ++i)
        value = (value << 8) | pBytes[i];
    return value;
}

// sum plus every byte, mod 256.
inline BYTE AddToSum(BYTE sum, const BYTE* pBytes, std::size_t nCount)
{
    for (std::size_t i = 0; i < nCount; ++i)
        sum = static_cast<BYTE>(sum + pBytes[i]);
    return sum;
}

// The closing byte of a frame whose other bytes add up to sum.
inline BYTE SumCheck(BYTE sum)
{
    return static_cast<BYTE>(0x100 - sum);
}

// Whether a received frame's bytes (sum) and its closing byte add up to 0.
inline bool SumChecks(BYTE sum, BYTE closing)
{
    return static_cast<BYTE>(sum + closing) == 0;
}

inline CString SizeText(unsigned long nBytes)
{
    CString text;
    if (nBytes < 1024)
        text.Format("%d Bytes", static_cast<int>(nBytes));
    else if (nBytes % 1024 == 0)
        text.Format("%d K", static_cast<int>(nBytes / 1024));
    else
        text.Format("%4.2f K", static_cast<double>(nBytes) / 1024.0);
    return text;
}

} // namespace WireFormat
