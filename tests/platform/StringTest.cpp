#include <gtest/gtest.h>

#include "platform/String.h"

TEST(CString, FormatHandlesShortAndLongOutput)
{
    CString s;
    const std::string big(1000, 'x');
    s.Format("[%s]", big.c_str());
    EXPECT_EQ(s.GetLength(), 1002);
    EXPECT_EQ(s.Right(3), "xx]");

    s.AppendFormat("%d", 42);
    EXPECT_EQ(s.Right(4), "x]42");
}

TEST(CString, SubstringsClampInsteadOfFailing)
{
    const CString s("FLASH");
    EXPECT_EQ(s.Left(2), "FL");
    EXPECT_EQ(s.Left(99), "FLASH");
    EXPECT_EQ(s.Left(-1), "");
    EXPECT_EQ(s.Mid(3), "SH");
    EXPECT_EQ(s.Mid(1, 2), "LA");
    EXPECT_EQ(s.Mid(9), "");
    EXPECT_EQ(s.Mid(-3, 2), "FL");
    EXPECT_EQ(s.Right(2), "SH");
    EXPECT_EQ(s.Right(10), "FLASH");
    EXPECT_EQ(s.GetAt(10), '\0');
}

TEST(CString, FindAndReplace)
{
    CString s("9600, n, 8, 1");
    EXPECT_EQ(s.Find(','), 4);
    EXPECT_EQ(s.Find(',', 5), 7);
    EXPECT_EQ(s.Find("8"), 9);
    EXPECT_EQ(s.Find('z'), -1);
    EXPECT_EQ(s.Find(',', 99), -1);
    EXPECT_EQ(s.ReverseFind(','), 10);
    EXPECT_EQ(s.Replace(", ", ","), 3);
    EXPECT_EQ(s, "9600,n,8,1");
    EXPECT_EQ(s.Remove(','), 3);
    EXPECT_EQ(s, "9600n81");
}

TEST(CString, TrimmingAndCase)
{
    CString s("  \t EB0 \r\n");
    s.Trim();
    EXPECT_EQ(s, "EB0");
    CString t("xxabcxx");
    t.TrimLeft("x");
    EXPECT_EQ(t, "abcxx");
    t.TrimRight("x");
    EXPECT_EQ(t, "abc");
    CString blank("   ");
    blank.Trim();
    EXPECT_TRUE(blank.IsEmpty());

    EXPECT_EQ(CString("True").CompareNoCase("tRUE"), 0);
    EXPECT_NE(CString("True ").CompareNoCase("true"), 0);
    CString u("Mixed");
    EXPECT_EQ(u.MakeUpper(), "MIXED");
    EXPECT_EQ(u.MakeLower(), "mixed");
}

TEST(CString, ConcatenationAndComparison)
{
    const CString port("COM1");
    const CString msg = port + ":' write time out";
    EXPECT_EQ(msg, "COM1:' write time out");
    EXPECT_EQ("[" + port + ']', "[COM1]");
    EXPECT_TRUE(CString("a") < CString("b"));
    EXPECT_STREQ(static_cast<const char*>(port), "COM1");
    EXPECT_EQ(CString(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(CString("abcdef", 3), "abc");
}

TEST(CString, LoadStringUsesTheCatalogue)
{
    CString s("unchanged");
    EXPECT_TRUE(s.LoadString(15056));
    EXPECT_EQ(s, "Connection complete");
    EXPECT_FALSE(s.LoadString(15033));
    EXPECT_EQ(s, "Connection complete");
    EXPECT_FALSE(s.LoadString(0));
}
