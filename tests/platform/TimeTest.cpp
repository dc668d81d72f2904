#include <gtest/gtest.h>

#include "platform/Module.h"
#include "platform/Time.h"

TEST(CTime, FormatsLocalTimeAndTheTickCountNeverRunsBackwards)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    const CTime t(946729416); // 2000-01-01 12:23:36 UTC
    EXPECT_EQ(t.Format("%d %B, %Y  %H:%M:%S"), "01 January, 2000  12:23:36");
    EXPECT_EQ(t.GetYear(), 2000);
    EXPECT_EQ(t.GetMinute(), 23);
    EXPECT_EQ(t.Format(""), "");
    EXPECT_EQ(CTime(100) - CTime(40), 60.0);

    // The tick count never runs backwards.
    DWORD last = GetTickCount();
    for (int i = 0; i < 1000; ++i) {
        const DWORD now = GetTickCount();
        EXPECT_LT(static_cast<DWORD>(now - last), 0x80000000u); // a step back wraps to a huge difference
        last = now;
    }
    const DWORD before = GetTickCount();
    Sleep(5);
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - before), 5u);
}

TEST(Module, ExecutableFolderHoldsTheRunningProgram)
{
    const CString exe = GetModuleFileName();
    const CString folder = GetExecutableFolder();
    ASSERT_FALSE(exe.IsEmpty());
    EXPECT_EQ(folder.Right(1), "/");
    EXPECT_EQ(exe.Left(folder.GetLength()), folder);
    EXPECT_EQ(exe.Find('/', folder.GetLength()), -1);
}
