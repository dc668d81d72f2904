#pragma once
// Fixed-width names used throughout the library. DWORD is 32 bits on every
// platform: target addresses and sizes are unsigned 32-bit values.
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Wait without a time limit.
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
