// The board's and the adapter's [Simulator] keys: bad values are refused with
// a message naming the key, and the keys pass the target's override check.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

using namespace simtest;

TEST(SimBoardSettings, BadValuesAreRefusedWithTheKeyNamed)
{
    const struct
    {
        const char* key;
        const char* value;
        const char* message;
    } cases[] = {
        {"Kivu Board", "perhaps", "\"Kivu Board\": 'perhaps' is not 0, 1, True or False"},
        {"Kivu Firmware", "0x0400", "\"Kivu Firmware\": 1024 is outside 256..1023"},
        {"Pelto Scan Result", "ten", "\"Pelto Scan Result\": 'ten' is not a number"},
    };
    for (const auto& c : cases) {
        CSimTarget target;
        CString error;
        EXPECT_FALSE(target.Load(CString(DataPath("TT08.ini").c_str()), &error, {{c.key, c.value}}));
        EXPECT_NE(error.str().find(c.message), std::string::npos) << error.GetString();
    }
    CSimTarget target;
    CString error;
    ASSERT_TRUE(target.Load(CString(DataPath("TT08.ini").c_str()), &error, {{"kivu board", "yes"}, {"Kivu Firmware", "0x0105"}}))
        << error.GetString();
    EXPECT_TRUE(target.GetBoardSettings().m_bPresent);
    EXPECT_EQ(target.GetBoardSettings().m_wFirmware, 0x0105);
}
