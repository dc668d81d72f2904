#include <gtest/gtest.h>

#include <memory>

#include "protocol/DeviceID.h"
#include "protocol/FunctionMap.h"

TEST(CFLASHDeviceID, ReplyFieldsKeepTheirByteOrder)
{
    const BYTE reply[CFLASHDeviceID::kReplySize] = {0xAB, 0xCD, 0x80, 0x00, 0x34, 0x12, 0x4D};
    CFLASHDeviceID id;
    id.GetBitFields().SetValue(0xFFFFFF00u);
    id.LoadReply(reply);
    EXPECT_EQ(id.GetKernelWord()[0], 0xAB);
    EXPECT_EQ(id.GetKernelWord()[1], 0xCD);
    EXPECT_EQ(id.GetLineSize(), 0x0080) << "first byte is the low-order byte";
    EXPECT_EQ(id.GetKernelWorkArea(), 0x1234);
    EXPECT_EQ(id.GetBitFields().GetValue(), 0xFFFFFF4Du) << "only the low byte comes from the reply";
    // 0x4D = 0100 1101: E = 1, W = 3 + 1, USER-mode kernel.
    EXPECT_EQ(id.GetEraseRegisterCount(), 1);
    EXPECT_EQ(id.GetFieldWidth(), 4);
    EXPECT_TRUE(id.GetBitFields().IsUserModeKernel());

    std::unique_ptr<CFLASHDeviceID> user = std::make_unique<CFLASHUserModeDeviceID>();
    const BYTE top[2] = {0x1F, 0xF0};
    static_cast<CFLASHUserModeDeviceID*>(user.get())->LoadRAMTop(top);
    EXPECT_EQ(static_cast<CFLASHUserModeDeviceID*>(user.get())->GetRAMTop(), 0x1FF0) << "big-endian";
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
    DeviceIDBitFields one(0x00);
    EXPECT_EQ(one.EncodeField(0x12345678u, out), 1);
    EXPECT_EQ(out[0], 0x78) << "a 1-byte field carries the low byte";
    DeviceIDBitFields three(0x08);
    EXPECT_EQ(three.EncodeField(0x12345678u, out), 3);
    EXPECT_EQ(out[0], 0x34);
    EXPECT_EQ(out[2], 0x78);
    DeviceIDBitFields four(0xB1);
    four.SetFieldWidth(4);
    EXPECT_EQ(four.GetValue(), 0xBDu) << "only bits 2-3 change";
    EXPECT_EQ(four.EncodeField(0xFFFF8000u, out), 4);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[3], 0x00);
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
