// The image store, and the editable FLASH image and its document on top of it:
// settings, aborts across threads, aligned ranges, history addresses and
// notifications. The document lock is held against a second download in the
// operation chain tests.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "image/FLASHBinaryImage.h"
#include "image/FLASHDocument.h"
#include "image/FLASHPropertyViewer.h"
#include "image/ImageProbe.h"
#include "platform/SettingsKeys.h"
#include "platform/Time.h"

using zftest::Bytes;
using zftest::CProbeImage;
using zftest::Ranges;
using zftest::RecordingHost;
using zftest::ScopedSettings;
using zftest::TempDir;

TEST(CDataBlock, BufferIsMadeOnFirstTouchAndKeepsBytesAtTheirAddresses)
{
    CDataBlock block(0x100, 4);
    EXPECT_FALSE(block.HasData());
    EXPECT_EQ(block.GetData(0x104), nullptr);
    ASSERT_NE(block.GetData(0x103), nullptr);
    EXPECT_EQ(*block.GetData(0x103), 0xFF);

    const BYTE bytes[] = {1, 2, 3, 4, 5};
    block.SetData(0x102, 3, bytes); // runs past the end: ignored
    EXPECT_EQ(*block.GetData(0x102), 0xFF);
    block.SetData(0x100, 4, bytes);
    EXPECT_EQ(*block.GetData(0x103), 4);

    block.SetStartAddress(0xFE); // lower start: H'FF in front, bytes stay put
    EXPECT_EQ(block.GetSizeOfData(), 6u);
    EXPECT_EQ(*block.GetData(0xFE), 0xFF);
    EXPECT_EQ(*block.GetData(0x101), 2);
    block.SetStartAddress(0x102); // higher start drops the front
    EXPECT_EQ(block.GetEndAddress(), 0x103u);
    EXPECT_EQ(*block.GetData(0x102), 3);
    block.SetStartAddress(0x200); // past the end: no change
    EXPECT_EQ(block.GetStartAddress(), 0x102u);
    block.SetSizeOfData(3);
    EXPECT_EQ(*block.GetData(0x103), 4);
    EXPECT_EQ(*block.GetData(0x104), 0xFF);
}

TEST(ImageStore, ErasedBytesOverDataRemoveItAndAnnounceIt)
{
    CProbeImage image(0x1000);
    EXPECT_EQ(image.GetLastAddressInCache(), -1);
    image.Write(0x20, {1, 2, 3, 4});
    EXPECT_EQ(image.GetLastAddressInCache(), 0x23);
    EXPECT_EQ(image.GetDataMemoryUsed(0x21, 0x100), 3u);
    image.changes = 0;
    image.Write(0x20, {0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_TRUE(image.DataRanges().empty());
    EXPECT_FALSE(image.IsImageDataPresent());
    EXPECT_GE(image.changes, 1);
    image.changes = 0;
    image.Write(0x40, {5});
    image.Write(0x40, {6}); // inside the same range: the list stays as it was
    EXPECT_EQ(image.changes, 1);
}

TEST(ImageStore, MemoryUsedCountsRecordsAndCarriedBytes)
{
    CProbeImage image(0x1000);
    EXPECT_EQ(image.GetCacheMemoryUsed(), 0u);
    EXPECT_EQ(image.m_ImageData.m_Blocks.capacity(), 0u) << "an empty image holds no block storage";
    image.Write(0x10, Bytes(100, 0x11));
    // image block and undo block carry 100 bytes each; the undo range carries none.
    EXPECT_EQ(image.GetCacheMemoryUsed(), 3 * sizeof(CDataBlock) + 200);
    image.Write(0x30, {0x22}); // splits the image block into two pieces
    image.CheckInvariants();
    image.ClearMemory();
    EXPECT_EQ(image.GetCacheMemoryUsed(), 0u);
    EXPECT_EQ(image.m_UndoData.m_Blocks.capacity(), 0u);
    EXPECT_TRUE(image.Areas().empty());
}

TEST(ImageStore, BadInputGivesZeroAndChangesNothing)
{
    CProbeImage image(0x100);
    BYTE out[4] = {0x5A, 0x5A, 0x5A, 0x5A};
    EXPECT_EQ(image.SetData(0x10, nullptr, 4), 0);
    EXPECT_EQ(image.SetData(0x10, out, 0), 0);
    EXPECT_EQ(image.GetData(0x10, nullptr, 4), 0);
    EXPECT_EQ(image.GetData(0x10, out, 0), 0);
    EXPECT_EQ(image.GetData(0xFE, out, 4), 0);
    EXPECT_EQ(image.GetData(0xFFFFFFFF, out, 2), 0);
    EXPECT_EQ(out[0], 0x5A) << "a failed read leaves the buffer alone";
    EXPECT_EQ(image.SetData(0xFFFFFFFE, out, 4), 0);
    EXPECT_EQ(image.Find(0, 0xFF, nullptr, 1), -1);
    EXPECT_EQ(image.Find(0x80, 0x10, out, 1), -1);
    EXPECT_EQ(image.SetDataFromFile(0x200, 4, out), 0);
    image.UndoRange(0xFFFFFFFF, 2);
    image.RedoRange(0xFF, 2);
    image.ClearFileLoadRange(0xFFFFFFF0, 0x20);
    EXPECT_EQ(image.GetDataMemoryUsed(0x10, 0), 0u);
    EXPECT_EQ(image.GetNextDataRangeByIndex(-1, 0, nullptr, nullptr), -1);
    EXPECT_EQ(image.GetCacheMemoryUsed(), 0u);
    EXPECT_FALSE(image.IsImageModified());
}

TEST(ImageStore, TopOfTheAddressSpaceNeverWrapsToZero)
{
    CProbeImage fixed(0x100);
    fixed.SetStartAddress(0xFFFFFF00);
    EXPECT_EQ(fixed.Write(0xFFFFFFFE, {1, 2, 3, 4}), 0) << "clipped";
    EXPECT_EQ(fixed.Read(0xFFFFFFFE, 2), (Bytes{1, 2}));
    EXPECT_EQ(fixed.DataRanges(), (Ranges{{0xFFFFFFFE, 0xFFFFFFFF}}));
    fixed.UndoAll();
    EXPECT_EQ(fixed.GetDataByte(0xFFFFFFFF), 0xFF);

    CProbeImage dynamic(0);
    EXPECT_EQ(dynamic.Write(0xFFFFFFFD, {1, 2, 3, 4, 5}), 0);
    EXPECT_EQ(std::make_pair(dynamic.GetStartAddress(), dynamic.GetImageSize()), std::make_pair(0xFFFFFFFDu, 3u));
    EXPECT_EQ(dynamic.m_ImageData.GetCount(), 1);
    EXPECT_EQ(dynamic.GetDataMemoryUsed(0, 0xFFFF), 0u);
    dynamic.CheckInvariants();
}

TEST(ThresholdRuns, ShortBlankStretchesStayInsideData)
{
    CProbeImage image(0x100);
    image.SetUseThreshold(TRUE);
    image.SetBlankThreshold(4);
    image.Write(0x10, {1, 0xFF, 0xFF, 2});
    ASSERT_EQ(image.m_ImageData.GetCount(), 1);
    EXPECT_EQ(image.m_ImageData.GetAt(0)->GetSizeOfData(), 4u);

    image.Write(0x40, {1, 0xFF, 0xFF, 0xFF, 0xFF, 2});
    image.Write(0x60, {3, 0xFF, 0xFF}); // trailing blanks short of the threshold are data
    image.Write(0x11, {0xFF}); // one byte ignores the threshold
    image.SetUseThreshold(FALSE);
    image.Write(0x80, {1, 0xFF, 2});
    image.SetUseThreshold(TRUE);
    image.SetBlankThreshold(0); // acts as 1
    image.Write(0x90, {1, 0xFF, 2});
    EXPECT_EQ(image.DataRanges(), (Ranges{{0x10, 0x10}, {0x12, 0x13}, {0x40, 0x40}, {0x45, 0x45}, {0x60, 0x62},
                                          {0x80, 0x80}, {0x82, 0x82}, {0x90, 0x90}, {0x92, 0x92}}));
}

TEST(WindowChanges, DynamicImageGrowsBothWaysInAlignedSteps)
{
    CProbeImage image(0);
    EXPECT_TRUE(image.IsDynamicImage());
    image.SetByteAlignment(256);
    image.Write(0x100, Bytes(10, 1));
    EXPECT_EQ(std::make_pair(image.GetStartAddress(), image.GetImageSize()), std::make_pair(0x100u, 0x100u));
    EXPECT_EQ(image.Write(0x80, {2}), 1);
    EXPECT_EQ(std::make_pair(image.GetStartAddress(), image.GetImageSize() % 256), std::make_pair(0x80u, 0u));
    EXPECT_EQ(image.Write(0x1000, {3}), 1);
    EXPECT_GE(std::uint64_t(image.GetStartAddress()) + image.GetImageSize(), 0x1001u);
    EXPECT_EQ(image.GetImageSize() % 256, 0u);
    EXPECT_EQ(image.Read(0x80, 1)[0], 2);
}

TEST(WindowChanges, FixedWindowClipsAndShrinkingDropsEverySet)
{
    CProbeImage image(0x100);
    image.SetByteAlignment(64); // fixed image: ignored
    EXPECT_EQ(image.GetByteAlignment(), 1u);
    EXPECT_EQ(image.Write(0xF0, Bytes(0x20, 5)), 0);
    EXPECT_EQ(image.GetDataMemoryUsed(0, 0xFFFFFFFF), 0x10u);
    image.Write(0x10, {1, 2});
    image.SetDataFromFile(0x40, 2, Bytes{3, 4}.data());

    image.SetImageSize(0x41);
    EXPECT_EQ(image.DataRanges(), (Ranges{{0x10, 0x11}, {0x40, 0x40}}));
    EXPECT_EQ(image.UndoRanges(), (Ranges{{0x10, 0x11}, {0x40, 0x40}}));
    EXPECT_EQ(image.FileLoadRanges(), (Ranges{{0x40, 0x40}}));
    EXPECT_EQ(image.Areas(), (Ranges{{0x10, 0x11}, {0x40, 0x40}}));

    image.SetStartAddress(0x11); // up: the bytes below go
    EXPECT_EQ(image.DataRanges(), (Ranges{{0x11, 0x11}, {0x40, 0x40}}));
    image.Write(0x50, {7});
    image.SetStartAddress(0); // down with the same size: the top goes
    EXPECT_EQ(image.DataRanges(), (Ranges{{0x11, 0x11}, {0x40, 0x40}}));
    image.CheckInvariants();
}

TEST(RangesAndAreas, AreaTableFollowsWrittenData)
{
    CProbeImage image(0x1000);
    image.Write(0x10, {1, 1});
    image.Write(0x14, {2});
    image.Write(0x12, {3, 3}); // extends one neighbour only: the areas touch
    EXPECT_EQ(image.Areas(), (Ranges{{0x10, 0x11}, {0x12, 0x14}}));
    image.Write(0x13, {0xFF}); // a blank inside an area splits it
    EXPECT_EQ(image.Areas(), (Ranges{{0x10, 0x11}, {0x12, 0x12}, {0x14, 0x14}}));

    image.Write(0x110, {1});
    image.Write(0x180, {2});
    image.Write(0x300, {3, 4});
    DWORD first = 0, last = 0;
    EXPECT_GE(image.GetNextDataRangeByIndex(-1, 0x301, &first, &last), 0);
    EXPECT_EQ(first, 0x301u) << "a walk from inside a range starts where asked";
    // 256-byte units from H'10: H'110 begins the second unit, H'180 lies in it,
    // H'300 is beyond it.
    EXPECT_EQ(image.GetLastContiguousDataArea(0, 256), 4u);
    EXPECT_EQ(image.GetLastContiguousDataArea(0, 1), 1u) << "touching areas join";
    EXPECT_EQ(image.GetLastContiguousDataArea(5, 256), 5u);
    EXPECT_EQ(image.GetLastContiguousDataArea(6, 256), 0xFFFFFFFFu);
}

TEST(RangesAndAreas, FindCrossesChunkBoundaries)
{
    CProbeImage image(20000);
    const Bytes pattern = {0xDE, 0xAD, 0xBE, 0xEF};
    image.Write(4998, pattern); // straddles the first 5000-byte chunk
    image.Write(15000, pattern);
    EXPECT_EQ(image.Find(0, 19999, pattern.data(), 4), 4998);
    EXPECT_EQ(image.Find(4999, 0xFFFFFFFF, pattern.data(), 4), 15000);
    EXPECT_EQ(image.Find(15001, 19999, pattern.data(), 4), -1);

    Bytes longPattern(6000, 0x42); // a buffer of twice the pattern
    longPattern[0] = 0x41;
    image.Write(9000, longPattern);
    EXPECT_EQ(image.Find(0, 19999, longPattern.data(), 6000), 9000);
    EXPECT_EQ(image.Find(0, 19999, Bytes(20001, 0xFF).data(), 20001), -1);
}

TEST(RangesAndAreas, ReportsListRangesInTheirFormat)
{
    zftest::RecordingHost host;
    CProbeImage image(0x1000);
    image.DisplayBlockUsage();
    image.PopupSaveEndMessage();
    image.PopupLoadEndMessage();
    image.Write(0x10, Bytes(0x10, 1));
    image.Write(0x800, {2});
    image.DisplayBlockUsage();
    std::vector<std::string> texts;
    for (const auto& shown : host.shown)
        texts.push_back(shown.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"No data blocks assigned.",
                                               "Data saved at the following positions:", "No data to save.",
                                               "Data loaded at the following positions:", "No data loaded.",
                                               "H'00000010 - H'0000001F      Length : H'00000010",
                                               "H'00000800 - H'00000800      Length : H'00000001"}));
    EXPECT_EQ(host.shown[1].kind, skTask);
    EXPECT_EQ(host.shown[2].kind, skMessage);
}

TEST(Limits, FullSetsAndAFullAreaTableRefuseMoreAndKeepWhatTheyHave)
{
    zftest::RecordingHost host;
    const BYTE three[] = {0x12, 2, 3};
    // Filled from the bottom up and from the top down: the same limits.
    for (const bool bDescending : {true, false}) {
        SCOPED_TRACE(bDescending ? "descending" : "ascending");
        host.questions.clear();
        CProbeImage image(0x81000);
        for (DWORD i = 0; i < DATA_INFO::kMaxBlocks; ++i)
            image.SetData(4 * (bDescending ? DATA_INFO::kMaxBlocks - 1 - i : i), 3, three, &image.m_ImageData);
        EXPECT_EQ(image.GetAreaCount(), CBinaryImage::kMaxAreas);
        const DWORD memory = image.GetCacheMemoryUsed();
        EXPECT_TRUE(host.questions.empty());

        image.SetData(0x80800, 1, three, &image.m_ImageData);
        ASSERT_EQ(host.questions.size(), 1u);
        EXPECT_EQ(host.questions[0].text, "No more memory can be allocated - clear some data.");
        EXPECT_EQ(host.questions[0].style, qtNotice);
        EXPECT_EQ(image.m_ImageData.GetCount(), DATA_INFO::kMaxBlocks);
        EXPECT_EQ(image.GetCacheMemoryUsed(), memory);
        EXPECT_EQ((Bytes{image.GetDataByte(0x80800), image.GetDataByte(0x7FFFC), image.GetDataByte(0)}),
                  (Bytes{0xFF, 0x12, 0x12}));
        image.CheckInvariants();

        // With the blocks gone the areas stay: a new area or a split is refused.
        image.DeleteAllBlocks(&image.m_ImageData);
        const zftest::Ranges before = image.Areas();
        const BYTE blank = 0xFF;
        image.SetData(0x41, 1, &blank, &image.m_ImageData); // strictly inside an area
        image.SetData(0x80800, 1, three, &image.m_ImageData);
        EXPECT_EQ(image.Areas(), before);
        EXPECT_EQ(image.GetDataByte(0x80800), 0x12) << "the data itself is stored";
    }
}

namespace {

class CCountingViewer : public CFLASHPropertyViewer
{
public:
    void RefreshProperties() override { ++refreshes; }
    void OnDocumentClosed() override { ++closed; }
    std::atomic<int> refreshes{0};
    std::atomic<int> closed{0};
};

// Holds the first stored run until the load's file object has been aborted.
class CHeldImage : public CFLASHBinaryImage
{
public:
    using CFLASHBinaryImage::CFLASHBinaryImage;
    int SetDataFromFile(DWORD nAddress, DWORD nLength, const BYTE* pBytes) override
    {
        if (runs++ == 0) {
            started = true;
            for (int i = 0; i < 20000 && !GetActiveFile()->IsAborted(); ++i)
                Sleep(1);
        }
        return CFLASHBinaryImage::SetDataFromFile(nAddress, nLength, pBytes);
    }
    std::atomic<int> runs{0};
    std::atomic<bool> started{false};
};

DWORD Set(CFLASHBinaryImage& image, DWORD address, const Bytes& bytes)
{
    return static_cast<DWORD>(image.SetData(address, bytes.data(), static_cast<DWORD>(bytes.size())));
}

} // namespace

// Without a store the defaults are used and written back.
TEST(FLASHImage, BlankThresholdComesFromTheStore)
{
    for (auto [content, threshold, bUse, bytes, blocks] :
         {std::tuple{"", 8u, 1u, Bytes{1, 0xFF, 0xFF, 2}, 1u},
          {"[FBI]\nffThreshold=4\nbUseThreshold=0\n", 4u, 0u, Bytes{1, 0xFF, 2}, 2u}}) {
        SCOPED_TRACE(content);
        ScopedSettings settings;
        if (*content)
            settings.Write(content);
        CFLASHBinaryImage image(0x100, nullptr);
        EXPECT_EQ(image.GetBlankThreshold(), threshold);
        EXPECT_EQ(image.GetUseThreshold() != 0, bUse != 0);
        EXPECT_EQ(std::make_pair(Settings::FFThreshold.Read(), Settings::UseThreshold.Read()),
                  std::make_pair(threshold, bUse));
        Set(image, 0, bytes);
        EXPECT_EQ(image.GetBlockCount(), blocks);
    }
}

TEST(FLASHImage, ReadsPastTheWindowAndCountsOnlyUndoAsModified)
{
    ScopedSettings settings;
    CFLASHBinaryImage image(0x10, nullptr);
    Set(image, 0xE, {7, 8});
    Bytes out(8, 0);
    ASSERT_EQ(image.GetData(0xC, out.data(), 8), 1);
    EXPECT_EQ(out, (Bytes{0xFF, 0xFF, 7, 8, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(image.GetData(0xFFFFFFFEu, out.data(), 8), 1) << "no wrap at the top";
    EXPECT_EQ(image.GetData(0, nullptr, 1), 0);
    image.SetStartAddress(4);
    EXPECT_EQ(image.GetData(2, out.data(), 1), 0);

    EXPECT_TRUE(image.IsImageModified());
    image.Undo();
    EXPECT_FALSE(image.IsImageModified()) << "redo data alone is not a change";
}

TEST(FLASHImage, RemembersWhereTheLastUndoOrRedoTookPlace)
{
    ScopedSettings settings;
    CFLASHBinaryImage image(0x10000, nullptr);
    Set(image, 0x3000, {5});
    Set(image, 0x2800, {6});
    // The last redo finds nothing left and leaves the address as it was.
    for (auto [bRedo, address] : {std::pair{false, 0x2800u}, {false, 0x3000u}, {true, 0x3000u}, {true, 0x2800u},
                                  {true, 0x2800u}}) {
        bRedo ? image.Redo() : image.Undo();
        EXPECT_EQ(image.GetLastUndoRedoAddress(), address);
    }
}

TEST(FLASHImage, ContiguousRangesComeInAlignedUnits)
{
    ScopedSettings settings;
    CFLASHBinaryImage image(0x10000, nullptr);
    Set(image, 0x10, Bytes(16, 1));
    Set(image, 0x180, Bytes(16, 2));
    // The next start, then the unit range found and its length.
    auto check = [&](DWORD from, DWORD next, DWORD expFirst, DWORD expLast, DWORD expLength) {
        DWORD first = 1, last = 1, length = 1;
        EXPECT_EQ(image.GetContiguousDataRange(from, 256, &first, &last, &length), next) << from;
        EXPECT_EQ(std::make_tuple(first, last, length), std::make_tuple(expFirst, expLast, expLength)) << from;
    };
    check(0, 0x180, 0, 0xFF, 0x100);
    check(0x180, 0x200, 0x100, 0x1FF, 0x100);
    // Data reaching into the next unit joins it; a unit-sized gap does not.
    Set(image, 0x200, {3});
    Set(image, 0x5F0, {4});
    check(0x100, 0x5F0, 0x100, 0x2FF, 0x200);
    check(0x5F1, 0, 0, 0, 0);
    check(0x10000, 0, 0, 0, 0);
}

TEST(FLASHImage, AbortStopsALoadOnAnotherThread)
{
    ScopedSettings settings;
    RecordingHost host;
    TempDir dir;
    const std::string path = dir.File("big.cde");
    zftest::WriteAll(path, std::string(20 * 500, '\x5A'));

    CFLASHBinaryImage idle(0, nullptr);
    idle.Abort();
    EXPECT_TRUE(idle.LoadWasAborted());
    EXPECT_FALSE(idle.LoadWasAborted());

    CHeldImage image(0, nullptr);
    int result = -1;
    std::thread worker([&] { result = image.LoadFile(path.c_str()); });
    for (int i = 0; i < 20000 && !image.started; ++i)
        Sleep(1);
    ASSERT_TRUE(image.started);
    image.Abort(); // returns only once the load has let go of its file
    EXPECT_TRUE(image.LoadWasAborted());
    worker.join();
    EXPECT_EQ(result, 1) << "an aborted load ends normally";
    EXPECT_EQ(image.runs, 1);
    EXPECT_EQ(image.GetDataMemoryUsed(0, 0xFFFFFFFF), 500u);
}

TEST(FLASHImage, DocumentHearsOfChangesButNotDuringALoad)
{
    ScopedSettings settings;
    RecordingHost host;
    TempDir dir;
    CFLASHDocument document;
    CCountingViewer viewer;
    document.SetPropertyViewer(&viewer);
    CFLASHBinaryImage image(0, &document);
    Set(image, 0x10, {1});
    EXPECT_GE(viewer.refreshes, 1);

    const std::string path = dir.File("runs.cde");
    zftest::WriteAll(path, std::string(5 * 500, '\x5A'));
    viewer.refreshes = 0;
    ASSERT_EQ(image.LoadFile(path.c_str()), 1);
    EXPECT_EQ(viewer.refreshes, 1) << "one notice once the load is over";

    // The save type set on the image is used once.
    image.SetSaveFileType(ftFPR);
    ASSERT_EQ(image.SaveFile(dir.File("out.mot").c_str(), 0, 0xFF, 1), 1);
    ASSERT_EQ(image.SaveFile(dir.File("again.mot").c_str(), 0, 0xFF, 1), 1);
    EXPECT_EQ(zftest::ReadAll(dir.File("out.mot")).substr(0, 16) + zftest::ReadAll(dir.File("again.mot")).substr(0, 3),
              "0000000000000200S00");

    image.SetFLASHDocument(nullptr);
    viewer.refreshes = 0;
    Set(image, 0x20, {1});
    EXPECT_EQ(viewer.refreshes, 0);
    document.SetPropertyViewer(nullptr);
}

TEST(FLASHDocument, ViewsViewerAndLifecycle)
{
    auto* document = new CFLASHDocument;
    CFLASHDocument second;
    EXPECT_EQ(document->GetDocumentMutexName().Find("CFLASHDocument__m_pDocumentMutex"), 0);
    EXPECT_EQ(document->GetPropertyMutexName().Find("CFLASHDocument__m_pPropertyMutex"), 0);
    EXPECT_NE(document->GetDocumentMutexName(), second.GetDocumentMutexName());

    std::vector<std::pair<LPARAM, CObject*>> hints;
    const int view = document->AddView([&](LPARAM hint, CObject* object) { hints.emplace_back(hint, object); });
    document->SetReadOnly(TRUE);
    document->SetReadOnly(TRUE);
    EXPECT_TRUE(document->GetReadOnly());
    EXPECT_EQ(hints, (std::vector<std::pair<LPARAM, CObject*>>{{0x900, document}})) << "only a change updates the views";
    document->RemoveView(view);
    document->SetReadOnly(FALSE);
    EXPECT_EQ(hints.size(), 1u);

    CCountingViewer viewer;
    CCountingViewer replacement;
    document->SetPropertyViewer(&viewer);
    document->AddView([](LPARAM, CObject*) {});
    EXPECT_EQ(viewer.refreshes, 1) << "a changed view list refreshes the properties";
    document->SetPropertyViewer(&replacement);
    document->OnPropertyChange();
    EXPECT_EQ(viewer.refreshes, 1);
    EXPECT_EQ(replacement.refreshes, 1);
    delete document;
    EXPECT_EQ(replacement.closed, 1);
    EXPECT_EQ(viewer.closed, 0);

    std::unique_ptr<CObject> created(CObject::CreateObject("CFLASHDocument"));
    ASSERT_NE(created, nullptr);
    EXPECT_TRUE(created->IsKindOf("CFLASHDocument"));
}
