#include <gtest/gtest.h>

#include <vector>

#include "platform/WireFormat.h"

using Bytes = std::vector<BYTE>;

TEST(WireFormat, NumbersTravelMostSignificantByteFirst)
{
    const struct
    {
        unsigned long value;
        int width;
        Bytes bytes;
    } cases[] = {
        {0x12, 1, {0x12}},
        {0x1234, 2, {0x12, 0x34}},
        {0x123456, 3, {0x12, 0x34, 0x56}},
        {0x12345678, 4, {0x12, 0x34, 0x56, 0x78}},
        {0xFFFFFFFF, 4, {0xFF, 0xFF, 0xFF, 0xFF}},
        {0x12345678, 2, {0x56, 0x78}}, // only the low bytes fit
    };
    for (const auto& c : cases) {
        Bytes out(static_cast<size_t>(c.width) + 1, 0xEE);
        WireFormat::PutBigEndian(c.value, c.width, out.data());
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.width), c.bytes) << c.value;
        EXPECT_EQ(out.back(), 0xEE) << "wrote past the field";
        EXPECT_EQ(WireFormat::GetBigEndian(c.bytes.data(), c.width), c.value & (0xFFFFFFFFul >> (32 - 8 * c.width)));
    }
    const auto four = WireFormat::BigEndian<4>(0x00010203);
    EXPECT_EQ(Bytes(four.begin(), four.end()), (Bytes{0x00, 0x01, 0x02, 0x03}));
}

TEST(WireFormat, AFrameAndItsSumCheckAddUpToZero)
{
    const Bytes frames[] = {{}, {0x00}, {0x50, 0xFF, 0xFF, 0xFF, 0xFF}, {0x01}, {0x80, 0x80}};
    for (const Bytes& frame : frames) {
        const BYTE sum = WireFormat::AddToSum(0, frame.data(), frame.size());
        const BYTE check = WireFormat::SumCheck(sum);
        unsigned total = check;
        for (BYTE b : frame)
            total += b;
        EXPECT_EQ(total % 256, 0u);
        EXPECT_TRUE(WireFormat::SumChecks(sum, check));
        EXPECT_FALSE(WireFormat::SumChecks(sum, static_cast<BYTE>(check + 1)));
    }
    // A running sum goes on where it stopped.
    const Bytes frame{1, 2, 3, 250};
    EXPECT_EQ(WireFormat::AddToSum(WireFormat::AddToSum(0, frame.data(), 2), frame.data() + 2, 2),
              WireFormat::AddToSum(0, frame.data(), 4));
    EXPECT_EQ(WireFormat::SumCheck(0), 0);
}

TEST(WireFormat, SizesInBytesWholeKOrTwoDecimals)
{
    const std::pair<unsigned long, const char*> cases[] = {
        {0, "0 Bytes"},  {1000, "1000 Bytes"}, {1023, "1023 Bytes"}, {1024, "1 K"},
        {2048, "2 K"},   {1536, "1.50 K"},     {1920, "1.88 K"},     {262144, "256 K"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(WireFormat::SizeText(bytes), text) << bytes;
}
