#include <gtest/gtest.h>

#include "platform/String.h"

TEST(CString, FormatConcatenationAndComparison)
{
    CString s;
    const std::string big(1000, 'x');
    EXPECT_EQ(s.Format("[%s]", big.c_str()).GetLength(), 1002);
    EXPECT_EQ(s.AppendFormat("%d", 42).Right(5), "xx]42");

    const CString port("COM1");
    EXPECT_EQ(port + ":' write time out", "COM1:' write time out");
    EXPECT_EQ("[" + port + ']', "[COM1]");
    EXPECT_TRUE(CString("a") < CString("b"));
    EXPECT_STREQ(static_cast<const char*>(port), "COM1");
    EXPECT_EQ(CString(static_cast<const char*>(nullptr)), "");
    EXPECT_EQ(CString("abcdef", 3), "abc");
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

TEST(CString, FindReplaceTrimAndCase)
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

    EXPECT_EQ(CString("  \t EB0 \r\n").Trim(), "EB0");
    CString t("xxabcxx");
    EXPECT_EQ(t.TrimLeft("x"), "abcxx");
    EXPECT_EQ(t.TrimRight("x"), "abc");
    EXPECT_TRUE(CString("   ").Trim().IsEmpty());
    EXPECT_EQ(CString("True").CompareNoCase("tRUE"), 0);
    EXPECT_NE(CString("True ").CompareNoCase("true"), 0);
    EXPECT_EQ(t.MakeUpper(), "ABC");
    EXPECT_EQ(t.MakeLower(), "abc");
}
