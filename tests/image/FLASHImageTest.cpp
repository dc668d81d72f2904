// The editable FLASH image and its document: settings, aborts across
// threads, aligned ranges, history addresses and notifications; the document
// lock is held against a second download in the operation chain tests.
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
using zftest::RecordingHost;
using zftest::ScopedSettings;
using zftest::TempDir;

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
