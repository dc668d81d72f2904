#pragma once
// The page's files, built into the program from apps/zflash/ui/www.
#include <cstddef>

struct SUiAsset
{
    const char* pszName;        // "index.html"
    const unsigned char* pData;
    std::size_t nSize;
};

// The asset of that name, or nullptr.
const SUiAsset* FindUiAsset(const char* pszName);
