// The board's and the adapter's [Simulator] keys: bad values are refused with
// a message naming the key.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

using namespace simtest;

TEST(SimBoardSettings, BadValuesAreRefusedWithTheKeyNamed)
{
    const std::pair<CSimOverrides, std::string> cases[] = {
        {{{"Kivu Board", "perhaps"}}, "\"Kivu Board\": 'perhaps' is not 0, 1, True or False"},
        {{{"kivu board", "yes"}, {"Kivu Firmware", "0x0400"}}, "\"Kivu Firmware\": 1024 is outside 256..1023"},
        {{{"Pelto Scan Result", "ten"}}, "\"Pelto Scan Result\": 'ten' is not a number"},
    };
    for (const auto& [overrides, message] : cases) {
        CSimTarget target;
        CString error;
        EXPECT_FALSE(target.Load(CString(DataPath("TT08.ini").c_str()), &error, overrides));
        EXPECT_NE(error.str().find(message), std::string::npos) << error.GetString();
    }
}
