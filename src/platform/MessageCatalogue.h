#pragma once
// The library's own catalogue of user messages, keyed by identifiers 15002-15056.
#include <span>
#include <string_view>

#include "platform/Types.h"

struct SCatalogueEntry
{
    WORD nID;
    const char* pszText;
};

// Text of the entries whose wording is composed where they are raised.
inline constexpr std::string_view kCatalogueComposed = "(placeholder)";

inline constexpr WORD IDS_FIRST_MESSAGE = 15002;
inline constexpr WORD IDS_LAST_MESSAGE = 15056;

// nullptr for identifiers that do not exist.
const char* LookupCatalogueText(UINT nID);
bool IsComposedMessage(UINT nID);
std::span<const SCatalogueEntry> GetMessageCatalogue();
