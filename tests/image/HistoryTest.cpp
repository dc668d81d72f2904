#include <gtest/gtest.h>

#include <vector>

#include "image/ImageProbe.h"

using zftest::CProbeImage;
using zftest::Ranges;
using Bytes = std::vector<BYTE>;

TEST(UndoRedo, UndoAllRangePeelsEveryLayerInTheRange)
{
    CProbeImage image(0x100);
    image.Write(0x10, Bytes(8, 1));
    image.ResetUndoRedoMemory();
    image.Write(0x10, Bytes(8, 2));
    image.Write(0x12, Bytes(4, 3));
    image.Write(0x13, Bytes(2, 4));
    image.Write(0x40, {9}); // outside the range: stays
    image.UndoAllRange(0x10, 8);
    EXPECT_EQ(image.Read(0x10, 8), Bytes(8, 1));
    EXPECT_EQ(image.UndoRanges(), (Ranges{{0x40, 0x40}}));
    EXPECT_EQ(image.GetDataByte(0x40), 9);
    image.RedoAllRange(0x10, 8);
    EXPECT_EQ(image.Read(0x10, 8), (Bytes{2, 2, 3, 4, 4, 3, 2, 2}));
    image.CheckInvariants();
}

TEST(UndoRedo, UndoAllRestoresTheStartAndEverythingBecomesRedoable)
{
    CProbeImage image(0x100);
    image.Write(0x10, {1, 2});
    image.Write(0x20, {3});
    image.Write(0x11, {4, 5, 6});
    image.UndoAll();
    EXPECT_EQ(image.Read(0x10, 0x11), Bytes(0x11, 0xFF));
    EXPECT_TRUE(image.UndoRanges().empty());
    EXPECT_EQ(image.RedoRanges(), (Ranges{{0x10, 0x13}, {0x20, 0x20}}));
    image.Redo(); // the first write comes back first
    EXPECT_EQ(image.Read(0x10, 4), (Bytes{1, 2, 0xFF, 0xFF}));
    image.RedoAll();
    EXPECT_EQ(image.Read(0x10, 4), (Bytes{1, 4, 5, 6}));
    EXPECT_EQ(image.GetDataByte(0x20), 3);
    EXPECT_TRUE(image.RedoRanges().empty());
    image.CheckInvariants();
}

TEST(UndoRedo, ClearLastUndoRangeDropsOnlyTheNewestLayer)
{
    CProbeImage image(0x100);
    image.Write(0x10, {7, 7});
    image.ResetUndoRedoMemory();
    image.Write(0x10, {1, 1});
    image.Write(0x10, {2, 2});
    image.ClearLastUndoRange(0x10, 2);
    EXPECT_EQ(image.Read(0x10, 2), (Bytes{2, 2})) << "dropping history leaves the image";
    image.Undo();
    EXPECT_EQ(image.Read(0x10, 2), (Bytes{7, 7}));

    image.Write(0x30, {1});
    image.Write(0x30, {2});
    image.Write(0x31, {3});
    image.ClearAllUndoRange(0x30, 1);
    EXPECT_EQ(image.UndoRanges(), (Ranges{{0x31, 0x31}}));
    image.ClearAllUndoRange(0xF0, 0x20); // past the window: no change
    EXPECT_EQ(image.UndoRanges().size(), 1u);
    image.CheckInvariants();
}

TEST(UndoRedo, UploadedDataIsNotHistory)
{
    CProbeImage image(0x100);
    image.SetUploadedDataFlag(true);
    EXPECT_TRUE(image.GetUploadedDataFlag());
    image.Write(0x10, {1, 2});
    EXPECT_FALSE(image.IsImageModified());
    EXPECT_EQ(image.FileLoadRanges(), (Ranges{{0x10, 0x11}}));
}

TEST(FileLoadTakeBack, UndoFileLoadRestoresWhatTheLoadOverwrote)
{
    CProbeImage image(0x100);
    image.Write(0x10, {1, 2, 3, 4});
    image.Write(0x80, {7});
    image.ResetUndoRedoMemory(); // as a loader does before it starts
    const Bytes first = {9, 9, 9}, second = {8, 8};
    EXPECT_EQ(image.SetDataFromFile(0x12, 3, first.data()), 1);
    EXPECT_EQ(image.SetDataFromFile(0x13, 2, second.data()), 1);
    EXPECT_EQ(image.SetDataFromFile(0xFF, 2, second.data()), 0) << "clipped";
    EXPECT_TRUE(image.IsImageFileLoaded());
    EXPECT_EQ(image.FileLoadRanges(), (Ranges{{0x12, 0x14}, {0xFF, 0xFF}}));

    image.ClearFileLoadRange(0xFF, 1);
    EXPECT_EQ(image.FileLoadRanges(), (Ranges{{0x12, 0x14}}));
    image.UndoFileLoad();
    EXPECT_EQ(image.Read(0x10, 6), (Bytes{1, 2, 3, 4, 0xFF, 0xFF}));
    EXPECT_EQ(image.GetDataByte(0xFF), 0xFF);
    EXPECT_EQ(image.GetDataByte(0x80), 7);
    EXPECT_FALSE(image.IsImageFileLoaded());
    EXPECT_FALSE(image.IsImageModified());
    image.CheckInvariants();
}

