#include <gtest/gtest.h>

#include "protocol/DeviceID.h"
#include "protocol/FunctionMap.h"

TEST(CFLASHDeviceID, ReplyFieldsKeepTheirByteOrder)
{
    const BYTE reply[CFLASHDeviceID::kReplySize] = {0xAB, 0xCD, 0x80, 0x00, 0x34, 0x12, 0x4D};
    CFLASHDeviceID id;
    id.GetBitFields().SetValue(0xFFFFFF00u);
    id.LoadReply(reply);
    EXPECT_EQ(std::vector<BYTE>(id.GetKernelWord(), id.GetKernelWord() + 2), (std::vector<BYTE>{0xAB, 0xCD}));
    EXPECT_EQ(id.GetLineSize(), 0x0080) << "first byte is the low-order byte";
    EXPECT_EQ(id.GetKernelWorkArea(), 0x1234);
    EXPECT_EQ(id.GetBitFields().GetValue(), 0xFFFFFF4Du) << "only the low byte comes from the reply";
    // 0x4D = 0100 1101: E = 1, W = 3 + 1, USER-mode kernel.
    EXPECT_EQ(id.GetEraseRegisterCount(), 1);
    EXPECT_EQ(id.GetFieldWidth(), 4);
    EXPECT_TRUE(id.GetBitFields().IsUserModeKernel());

    CFLASHUserModeDeviceID user;
    user.LoadRAMTop(reply);
    EXPECT_EQ(user.GetRAMTop(), 0xABCD) << "big-endian";
}

TEST(DeviceIDBitFields, WidthsAndFieldEncoding)
{
    BYTE out[4] = {};
    for (int bits = 0; bits < 4; ++bits) {
        DeviceIDBitFields f(static_cast<DWORD>(bits << 2) | 0x03u);
        EXPECT_EQ(f.GetFieldWidth(), bits + 1);
        EXPECT_EQ(f.GetEraseRegisterCount(), 3);
        EXPECT_FALSE(f.IsUserModeKernel());
    }
    const auto encoded = [&out](const DeviceIDBitFields& f, DWORD value) {
        return std::vector<BYTE>(out, out + f.EncodeField(value, out));
    };
    EXPECT_EQ(encoded(DeviceIDBitFields(0x00), 0x12345678u), std::vector<BYTE>{0x78}) << "the low byte";
    EXPECT_EQ(encoded(DeviceIDBitFields(0x08), 0x12345678u), (std::vector<BYTE>{0x34, 0x56, 0x78}));
    DeviceIDBitFields four(0xB1);
    four.SetFieldWidth(4);
    EXPECT_EQ(four.GetValue(), 0xBDu) << "only bits 2-3 change";
    EXPECT_EQ(encoded(four, 0xFFFF8000u), (std::vector<BYTE>{0xFF, 0xFF, 0x80, 0x00}));
}

TEST(CFLASHUniqueIDCounter, FirstIsOneAndThe256thWrapsToZero)
{
    CFLASHUniqueIDCounter counter;
    EXPECT_EQ(counter.Current(), 0);
    EXPECT_EQ(counter.Next(), 1);
    BYTE last = 1;
    for (int i = 2; i <= 256; ++i)
        last = counter.Next();
    EXPECT_EQ(last, 0);
    EXPECT_EQ(counter.Next(), 1);
}

TEST(CFLASHFunctionMap, EntriesFollowTheWireOrder)
{
    CFLASHFunctionMap map;
    EXPECT_EQ(map.GetUsedCount(), 0);
    const eFLASHFunction order[] = {fnWrite, fnErase, fnRead, fnCheckBlank};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(CFLASHFunctionMap::EntryOf(order[i]), i);
    map.SetFunction(fnVerify, 9);
    map.SetEntry(6, 9);
    EXPECT_EQ(map, CFLASHFunctionMap()) << "no entry outside the map changes";

    map.SetFunction(fnErase, 0x104);
    EXPECT_EQ(map.GetEntry(1), 0x104);
    EXPECT_EQ(map.GetUsedCount(), 2);
    map.SetFunction(fnRead, CFLASHFunctionMap::kWanted);
    EXPECT_EQ(map.GetUsedCount(), 3);
    map.SetEntry(5, 7);
    CFLASHFunctionMap copy;
    copy = map;
    copy.Invalidate();
    EXPECT_EQ(copy.GetFunction(fnErase), 0);
    EXPECT_EQ(copy.GetEntry(5), 7) << "the reserved entries are not module entries";
    EXPECT_EQ(map.GetFunction(fnErase), 0x104);
}
