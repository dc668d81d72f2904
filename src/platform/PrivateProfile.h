#pragma once
// Reads and writes of initialisation (INI) files with the rules of the
// private-profile service that definition files and settings were written for:
// - section and key names match without regard to case;
// - the value is the text after the first '=', with white space around it
//   removed and one pair of enclosing quotes (' or ") dropped;
// - a line whose first non-blank character is ';' is a comment; there are no
//   inline comments;
// - the first value of a repeated key wins; a repeated section reads as one;
// - a key present with an empty value gives an empty text, a missing key the default;
// - values are cut to nSize - 1 characters.
// Every call reads the file anew. An unreadable file reads as an empty one.
#include "platform/String.h"
#include "platform/Types.h"

inline constexpr DWORD kProfileBufferSize = 1024;

// Files larger than this are read only up to this size.
inline constexpr std::size_t kMaxProfileFileSize = 16u << 20;

CString GetPrivateProfileStringA(const CString& section, const CString& key, const CString& strDefault,
                                 const CString& path, DWORD nSize = kProfileBufferSize);

// The leading decimal integer of the value (optionally signed); nDefault when missing.
UINT GetPrivateProfileIntA(const CString& section, const CString& key, int nDefault, const CString& path);

// Replaces the key's first value, or adds the key (and section). Creates the file
// and its folder when missing. The file is replaced atomically, so a failed write
// never leaves a damaged file. On failure returns false and, when pError is given,
// stores the system's error number there.
// Reads and writes of this one path go to *pText instead of the file system
// until called again with nullptr, so fuzzers and tests run without files.
// A text changed other than through WritePrivateProfileStringA needs this
// call again. Not for use while other threads read profiles.
void SetPrivateProfileMemoryFile(const CString& path, std::string* pText);

// True when the file has a "[section]" line (case does not matter).
bool PrivateProfileHasSection(const CString& section, const CString& path);

bool WritePrivateProfileStringA(const CString& section, const CString& key, const CString& value,
                                const CString& path, int* pError = nullptr);
