#include <gtest/gtest.h>

#include <vector>

#include "platform/Archive.h"
#include "platform/List.h"

namespace {
class CNamedItem : public CObject
{
    ZF_DECLARE_DYNAMIC(CNamedItem)
public:
    CNamedItem() = default;
    CNamedItem(const char* name, DWORD size) : m_name(name), m_size(size) {}
    void Serialize(CArchive& ar) override
    {
        if (ar.IsStoring())
            ar << m_name << m_size;
        else
            ar >> m_name >> m_size;
    }
    CString m_name;
    DWORD m_size = 0;
};
} // namespace
ZF_IMPLEMENT_SERIAL(CNamedItem)

namespace {
std::vector<CString> Items(const CStringList& l)
{
    std::vector<CString> v;
    for (POSITION p = l.GetHeadPosition(); p;)
        v.push_back(l.GetNext(p));
    return v;
}
} // namespace

TEST(CTypedList, PositionsSurviveInsertionAndRemoval)
{
    CStringList l;
    const POSITION b = l.AddTail("b");
    l.AddHead("a");
    const POSITION d = l.AddTail("d");
    l.InsertBefore(d, "c");
    l.InsertAfter(d, "e");
    EXPECT_EQ(Items(l), (std::vector<CString>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(l.GetCount(), 5);

    l.RemoveAt(b);
    EXPECT_EQ(l.GetAt(d), "d");
    EXPECT_EQ(Items(l), (std::vector<CString>{"a", "c", "d", "e"}));
    EXPECT_EQ(l.RemoveHead(), "a");
    EXPECT_EQ(l.RemoveTail(), "e");
    EXPECT_EQ(l.GetAt(l.FindIndex(1)), "d");
    EXPECT_EQ(l.FindIndex(2), nullptr);
    EXPECT_EQ(l.Find(CString("d")), d);

    POSITION back = l.GetTailPosition();
    EXPECT_EQ(l.GetPrev(back), "d");
    EXPECT_EQ(l.GetAt(back), "c");

    l.RemoveAll();
    EXPECT_TRUE(l.IsEmpty());
    EXPECT_EQ(l.GetHeadPosition(), nullptr);
    l.AddTail("again");
    EXPECT_EQ(l.GetHead(), "again");
    EXPECT_EQ(l.GetTail(), "again");
    l.AddTail("!");
    CString joined;
    for (const CString& s : l) // the range form walks head to tail
        joined += s;
    EXPECT_EQ(joined, "again!");
}

TEST(CObList, ArchiveRoundTripRecreatesObjectsAndStopsAtAnUnknownClass)
{
    CObList out;
    out.AddTail(new CNamedItem("EB0", 0x1000));
    out.AddTail(new CNamedItem("EB1", 0x8000));
    CMemFile file;
    {
        CArchive ar(&file, CArchive::store);
        out.Serialize(ar);
        ar << DWORD{3} << CString("CNoSuchClass"); // a second list, of a class nobody knows
        EXPECT_FALSE(ar.HasFailed());
    }
    file.Seek(0, CFile::begin);
    CObList in, unknown;
    CArchive ar(&file, CArchive::load);
    in.Serialize(ar);
    EXPECT_FALSE(ar.HasFailed());
    ASSERT_EQ(in.GetCount(), 2);
    auto* second = dynamic_cast<CNamedItem*>(in.GetTail());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::make_pair(second->m_name, second->m_size), std::make_pair(CString("EB1"), DWORD{0x8000}));
    unknown.Serialize(ar);
    EXPECT_TRUE(ar.HasFailed());
    EXPECT_TRUE(unknown.IsEmpty());
    out.DeleteAll();
    in.DeleteAll();
}
