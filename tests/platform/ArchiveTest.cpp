#include <gtest/gtest.h>

#include <tuple>

#include "TestSupport.h"
#include "platform/Archive.h"

TEST(CArchive, ValuesRoundTripThroughAFileInLittleEndian)
{
    zftest::TempDir dir;
    const CString path = dir.File("record.bin").c_str();
    {
        CFile f;
        ASSERT_TRUE(f.Open(path, CFile::modeCreate | CFile::modeWrite));
        CArchive ar(&f, CArchive::store);
        ar << BYTE{0xAB} << WORD{0x1234} << DWORD{0xFFFF8000u} << -5 << 2.5f << 1.0 / 3 << true
           << CString("Zentra ") << CString();
        EXPECT_FALSE(ar.HasFailed());
    }
    // Numbers are little-endian on the medium.
    EXPECT_EQ(zftest::ReadAll(path.str()).substr(0, 7), std::string("\xAB\x34\x12\x00\x80\xFF\xFF", 7));
    CFile f;
    ASSERT_TRUE(f.Open(path, CFile::modeRead));
    EXPECT_EQ(f.GetLength(), 1 + 2 + 4 + 4 + 4 + 8 + 1 + 4 + 7 + 4);
    CArchive ar(&f, CArchive::load);
    BYTE b;
    WORD w;
    DWORD d;
    int i;
    float fl;
    double db;
    bool flag;
    CString s1, s2("x");
    ar >> b >> w >> d >> i >> fl >> db >> flag >> s1 >> s2;
    EXPECT_FALSE(ar.HasFailed());
    EXPECT_EQ(std::make_tuple(b, w, d, i, fl, db, flag, s1, s2),
              std::make_tuple(BYTE{0xAB}, WORD{0x1234}, DWORD{0xFFFF8000u}, -5, 2.5f, 1.0 / 3, true,
                              CString("Zentra "), CString()));
}

TEST(CArchive, ShortOrAbsurdDataMarksFailureWithoutCrashing)
{
    CMemFile shortFile(std::vector<BYTE>{0x01, 0x02});
    CArchive ar(&shortFile, CArchive::load);
    DWORD d = 77;
    ar >> d;
    EXPECT_TRUE(ar.HasFailed());
    EXPECT_EQ(d, 0x0201u);

    // A length prefix far beyond the data must not allocate gigabytes.
    CMemFile huge(std::vector<BYTE>{0xFF, 0xFF, 0xFF, 0x7F, 'a'});
    CArchive ar2(&huge, CArchive::load);
    CString s("keep");
    ar2 >> s;
    EXPECT_TRUE(ar2.HasFailed());
    EXPECT_TRUE(s.IsEmpty());
}

TEST(CFile, ReportsTheSystemReason)
{
    zftest::TempDir dir;
    CFile f;
    EXPECT_FALSE(f.Open(dir.File("missing").c_str(), CFile::modeRead));
    EXPECT_EQ(f.GetErrorText(), "No such file or directory");
    EXPECT_FALSE(f.Open(dir.Path().c_str(), CFile::modeRead));
    EXPECT_EQ(f.GetErrorText(), "Is a directory");
    EXPECT_TRUE(CFile::Exists(dir.Path().c_str()));
    EXPECT_FALSE(CFile::Exists(""));
}
