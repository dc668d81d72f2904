#include <gtest/gtest.h>

#include <string>

#include "platform/MessageCatalogue.h"
#include "platform/String.h"

TEST(MessageCatalogue, LookupAndLoadStringFindEachEntryAndNothingElse)
{
    // Every listed entry is found under its own identifier (an unsorted table
    // would lose some), and no identifier outside it has a text.
    const auto all = GetMessageCatalogue();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().nID, IDS_FIRST_MESSAGE);
    EXPECT_EQ(all.back().nID, IDS_LAST_MESSAGE);
    std::size_t next = 0;
    for (UINT id = 0; id <= 0xFFFF; ++id) {
        const char* text = LookupCatalogueText(id);
        if (next < all.size() && all[next].nID == id) {
            ASSERT_EQ(text, all[next].pszText) << id;
            EXPECT_EQ(IsComposedMessage(id), std::string(text) == kCatalogueComposed) << id;
            ++next;
        } else {
            EXPECT_EQ(text, nullptr) << id;
        }
    }
    EXPECT_EQ(next, all.size());

    // The gaps and the texts around them, and the placeholders composed where raised.
    EXPECT_EQ(LookupCatalogueText(15001), nullptr);
    EXPECT_STREQ(LookupCatalogueText(15032), "Interface failed to respond");
    EXPECT_STREQ(LookupCatalogueText(15034), "Interface not found");
    CString s("unchanged"); // a string loads from the catalogue, and keeps its text for a gap
    EXPECT_TRUE(s.LoadString(15056));
    EXPECT_FALSE(s.LoadString(15033));
    EXPECT_FALSE(s.LoadString(0));
    EXPECT_EQ(s, "Connection complete");
    for (UINT id : {15004u, 15005u, 15006u, 15016u, 15018u, 15020u, 15029u, 15044u, 15045u, 15046u})
        EXPECT_TRUE(IsComposedMessage(id)) << id;
    EXPECT_FALSE(IsComposedMessage(15007));
}
