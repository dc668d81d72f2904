// Unit numbers (their forms and the state file that hands them out) and the
// command line of gang runs.
#include <gmock/gmock.h>

#include <set>
#include <thread>
#include <tuple>

#include "Gang.h"
#include "Options.h"
#include "SerialNumber.h"
#include "TestSupport.h"

TEST(SerialSpec, ParsesAndRendersEachForm)
{
    const std::tuple<const char*, std::uint64_t, std::vector<BYTE>> cases[] = {
        {"0x7FF0:1000", 0x01020304, {0x04, 0x03, 0x02, 0x01}},
        {"0x10:5:2:be16", 0xA1B2, {0xA1, 0xB2}},
        {"H'10:5:le64", 1, {1, 0, 0, 0, 0, 0, 0, 0}},
        {"16:5:3:text6", 42, {'0', '0', '0', '0', '4', '2'}},
    };
    for (const auto& [text, number, rendered] : cases) {
        SSerialSpec spec;
        std::string error;
        ASSERT_TRUE(SSerialSpec::Parse(text, &spec, &error)) << text << ": " << error;
        std::vector<BYTE> bytes;
        ASSERT_TRUE(spec.Render(number, &bytes)) << text;
        EXPECT_EQ(bytes, rendered) << text;
    }
    SSerialSpec spec;
    std::string error;
    EXPECT_TRUE(SSerialSpec::Parse("0:5:2:be16", &spec, &error));
    EXPECT_EQ(spec.qwStart, 5u);
    EXPECT_EQ(spec.qwStep, 2u);
    std::vector<BYTE> bytes;
    EXPECT_FALSE(spec.Render(0x10000, &bytes)); // does not fit 16 bits
    for (const char* bad : {"", "0x10", "zz:1", "0:x", "0:1:0", "0:1:le24", "0:1:text0", "0:1:1:le32:9",
                            "0xFFFFFFFE:1:le32"})
        EXPECT_FALSE(SSerialSpec::Parse(bad, &spec, &error)) << bad;
}

TEST(SerialState, HandsOutEachNumberOnceAcrossThreadsAndReusesReturnedOnes)
{
    zftest::TempDir dir;
    SSerialSpec spec;
    std::string error;
    ASSERT_TRUE(SSerialSpec::Parse("0:100:2", &spec, &error));
    // Each thread has its own state object, as separate runs would.
    std::vector<std::vector<std::uint64_t>> taken(4);
    std::vector<std::thread> threads;
    for (auto& list : taken)
        threads.emplace_back([&] {
            CSerialState state(dir.File("job.log.serial"));
            for (int i = 0; i < 25; ++i) {
                std::uint64_t n = 0;
                std::string e;
                if (state.Take(spec, &n, &e))
                    list.push_back(n);
            }
        });
    for (auto& t : threads)
        t.join();
    std::set<std::uint64_t> all;
    for (const auto& list : taken)
        all.insert(list.begin(), list.end());
    ASSERT_EQ(all.size(), 100u);
    EXPECT_EQ(*all.begin(), 100u);
    EXPECT_EQ(*all.rbegin(), 298u);

    CSerialState state(dir.File("job.log.serial"));
    ASSERT_TRUE(state.Give(150, &error));
    std::uint64_t n = 0;
    const auto take = [&] { return state.Take(spec, &n, &error) ? n : 0; };
    EXPECT_EQ(take(), 150u) << error;
    EXPECT_EQ(take(), 300u) << error;
    // A higher start moves the count up; numbers below it are never reused.
    ASSERT_TRUE(SSerialSpec::Parse("0:1000", &spec, &error));
    EXPECT_EQ(take(), 1000u) << error;
    EXPECT_FALSE(CSerialState(dir.File("missing/dir/state")).Take(spec, &n, &error));
    EXPECT_THAT(error, ::testing::HasSubstr("No such file"));
}

TEST(GangOptions, EachPortAndEachProductionOptionMakesAGangRun)
{
    const std::tuple<std::vector<std::string>, bool, size_t> cases[] = {
        {{"program", "a.mot"}, false, 0},
        {{"-p", "/dev/ttyUSB0", "program", "a.mot"}, false, 1},
        {{"-p", "sim", "-p", "sim", "program", "a.mot"}, true, 2},
        {{"program", "a.mot", "-p", "/dev/a", "-p", "/dev/b", "-p", "/dev/c"}, true, 3},
        {{"--sim-count", "4", "blank"}, true, 0},
        {{"program", "a.mot", "--skip-unchanged"}, true, 0},
        {{"program", "a.mot", "--retries", "2"}, true, 0},
        {{"-p", "sim", "-p", "sim", "read", "x.srec"}, false, 2},
    };
    for (const auto& [line, gang, ports] : cases) {
        CLI::App app;
        SCliOptions o;
        BuildCommandLine(app, o);
        std::vector<std::string> args(line.rbegin(), line.rend());
        ASSERT_NO_THROW(app.parse(args));
        EXPECT_EQ(IsGangRun(o), gang) << line[0] << " " << line.size();
        EXPECT_EQ(o.Ports.size(), ports);
        if (!o.Ports.empty()) {
            EXPECT_EQ(o.strPort, o.Ports.back());
        }
    }
}
