#include <gtest/gtest.h>

#include <vector>

#include "image/ImageProbe.h"

using zftest::CProbeImage;
using zftest::Ranges;
using Bytes = std::vector<BYTE>;

// The plain undo and redo walks are checked against a model in HistoryModelTest.
TEST(UndoRedo, ClearingARangePastTheWindowChangesNothing)
{
    CProbeImage image(0x100);
    image.Write(0xF8, {1});
    image.ClearAllUndoRange(0xF0, 0x20);
    EXPECT_EQ(image.UndoRanges(), (Ranges{{0xF8, 0xF8}}));
}

TEST(UndoRedo, UploadedDataIsNotHistory)
{
    CProbeImage image(0x100);
    image.SetUploadedDataFlag(true);
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

