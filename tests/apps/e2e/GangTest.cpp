// Production runs of the tool on several targets at once: virtual targets in
// this process (so that each can carry its own fault and its transcript can
// be read), the tool as a separate process on their ports.
#include <gmock/gmock.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <numeric>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "ExitCode.h"
#include "TestSupport.h"
#include "ToolProcess.h"
#include "sim/SimTarget.h"

using ::testing::HasSubstr;
using zftest::SourcePath;

namespace {
constexpr DWORD kBlock = 0x1000; // ZT31F256's first blocks

class CBoard
{
public:
    explicit CBoard(const CSimOverrides& overrides = {})
    {
        CString error;
        if (!m_sim.Load(SourcePath("devices/ZT31F256.ini").c_str(), &error, overrides) || !m_sim.Start(&error))
            ADD_FAILURE() << error.GetString();
    }
    ~CBoard() { m_sim.Stop(); }
    std::string Port() const { return m_sim.GetPortName().GetString(); }
    CSimTarget& Sim() { return m_sim; }
    // Host bytes the chip took in a phase.
    size_t HostBytesIn(eSimPhase phase) const
    {
        const auto bytes = m_sim.GetTranscript().GetBytes();
        return static_cast<size_t>(std::count_if(bytes.begin(), bytes.end(), [&](const CSimByteEntry& b) {
            return b.m_eDirection == sdHostToTarget && b.m_ePhase == phase;
        }));
    }
    std::vector<BYTE> Flash(size_t n) const
    {
        const auto all = m_sim.GetFLASH();
        return {all.begin(), all.begin() + static_cast<long>(n)};
    }

private:
    CSimTarget m_sim;
};

std::vector<nlohmann::json> Targets(const std::string& out)
{
    std::vector<nlohmann::json> targets;
    for (const nlohmann::json& e : Events(out)) {
        EXPECT_TRUE(e.contains("port") || e["event"] == "result") << e;
        if (e["event"] == "target")
            targets.push_back(e);
    }
    return targets;
}

struct Gang : TToolRun<>
{
    std::vector<BYTE> image;

    // A raw image over the first blocks, different in every byte of a block.
    std::string Image(size_t blocks)
    {
        image.resize(blocks * kBlock);
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<BYTE>(i * 13 + i / 251);
        const std::string path = dir.File("image.bin");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), static_cast<long>(image.size()));
        return path;
    }
    std::vector<std::string> Program(const std::vector<CBoard*>& boards, std::vector<std::string> extra)
    {
        std::vector<std::string> args{"--json", "--yes", "-d", SourcePath("devices/ZT31F256.ini")};
        for (CBoard* b : boards)
            args.insert(args.end(), {"-p", b->Port()});
        args.insert(args.end(), {"program", dir.File("image.bin"), "--in-format", "raw"});
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
};
} // namespace

TEST_F(Gang, OneFaultedTargetFailsAloneAndTheLogHasARecordForEach)
{
    Image(2);
    CBoard good[3], bad(CSimOverrides{{"Fail Write Chunk", "3"}});
    const SToolResult r = RunZflash(Program({&good[0], &bad, &good[1], &good[2]},
                                            {"--job-log", dir.File("job.log"), "--job", "12"}));
    EXPECT_EQ(r.code, ecSomeFailed) << r.out << r.err;
    const auto targets = Targets(r.out);
    ASSERT_EQ(targets.size(), 4u);
    for (const auto& t : targets) {
        const bool faulted = t["port"] == bad.Port();
        EXPECT_EQ(t["exit_code"], faulted ? ecWrite : ecSuccess) << t;
        EXPECT_EQ(t["verified"], !faulted);
        EXPECT_EQ(t["retries"], 0);
        EXPECT_EQ(t["reason"] != "", faulted) << t;
    }
    for (CBoard& b : good)
        EXPECT_EQ(b.Flash(image.size()), image);
    const std::string log = zftest::ReadAll(dir.File("job.log"));
    for (CBoard* b : {&good[0], &good[1], &good[2], &bad}) {
        const std::string record = "Port : " + b->Port() + "\r\nDevice : ZT31F256\r\n";
        const size_t at = log.find(record);
        ASSERT_NE(at, std::string::npos) << log;
        const size_t end = log.find(std::string(80, '*'), at);
        EXPECT_THAT(log.substr(at, end - at), HasSubstr(b == &bad ? "Result : FLASH Programming Failed."
                                                                   : "Result : FLASH Programming OK."));
    }
}

TEST_F(Gang, ARetryCarriesOnAfterADroppedByte)
{
    Image(2);
    CBoard board;
    board.Sim().SetThrottle(true); // the write lasts long enough to strike in its middle
    CToolProcess tool(ZflashArgv(Program({&board}, {"--retries", "2"})));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (board.HostBytesIn(phWrite) < 1000 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    CSimFaults faults = board.Sim().GetFaults();
    faults.m_dwDropHostByte = 40;
    board.Sim().SetFaults(faults);
    board.Sim().SetThrottle(false);
    ASSERT_EQ(tool.Wait(300000), ecSuccess) << tool.Out() << tool.Err();
    ASSERT_FALSE(board.Sim().GetEvents(ekFault).empty()); // the byte was dropped
    const auto targets = Targets(tool.Out());
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0]["retries"], 1);
    EXPECT_EQ(targets[0]["verified"], true);
    EXPECT_EQ(board.Flash(image.size()), image);
}

TEST_F(Gang, SkipUnchangedTouchesOnlyTheBlocksThatDiffer)
{
    Image(3);
    CBoard same, oneOff;
    same.Sim().LoadFLASH(0, image);
    std::vector<BYTE> chip = image;
    chip[kBlock + 5] = static_cast<BYTE>(~chip[kBlock + 5]);
    oneOff.Sim().LoadFLASH(0, chip);
    const SToolResult r = RunZflash(Program({&same, &oneOff}, {"--skip-unchanged"}));
    ASSERT_EQ(r.code, ecSuccess) << r.out << r.err;
    for (const auto& t : Targets(r.out)) {
        const bool unchanged = t["port"] == same.Port();
        EXPECT_EQ(t["result"], unchanged ? "already-programmed" : "success");
        EXPECT_EQ(t["skipped"], unchanged ? 3 * kBlock : 2 * kBlock);
        EXPECT_EQ(t["verified"], true);
    }
    EXPECT_EQ(same.HostBytesIn(phErase) + same.HostBytesIn(phWrite), 0u);
    const auto erased = oneOff.Sim().GetEraseCounts();
    EXPECT_EQ(std::vector<DWORD>(erased.begin(), erased.begin() + 3), (std::vector<DWORD>{0, 1, 0}));
    EXPECT_GT(oneOff.HostBytesIn(phWrite), kBlock);
    EXPECT_LT(oneOff.HostBytesIn(phWrite), 2 * kBlock);
    EXPECT_EQ(oneOff.Flash(image.size()), image);
}

TEST_F(Gang, SerialNumbersAreUniqueAndContiguousAcrossConcurrentAndCancelledRuns)
{
    Image(4);
    // Retries ride out time-outs of a loaded machine; they never hand out a second number.
    const std::vector<std::string> serial{"--job-log", dir.File("job.log"), "--serial", "0x20000:500:1:text6",
                                          "--retries", "3"};
    auto run = [&](const char* count) {
        std::vector<std::string> a = Program({}, serial);
        a.insert(a.end(), {"--sim-count", count});
        return ZflashArgv(a);
    };
    CToolProcess first(run("2")), second(run("3")), cancelled(run("2"));
    for (std::string line; cancelled.ReadLine(line, 120000);)
        if (line.find("Writing image") != std::string::npos || line.find("\"target\"") != std::string::npos)
            break;
    cancelled.Signal(SIGINT);
    EXPECT_EQ(first.Wait(300000), ecSuccess) << first.Out();
    EXPECT_EQ(second.Wait(300000), ecSuccess) << second.Out();
    const int code = cancelled.Wait(300000);
    EXPECT_TRUE(code == ecCancelled || code == ecSuccess) << code;

    // A number handed back unused goes to the next unit: no gap is left.
    CBoard board;
    ASSERT_EQ(RunZflash(Program({&board}, serial)).code, ecSuccess);

    const std::string log = zftest::ReadAll(dir.File("job.log"));
    std::vector<int> spent;
    const std::regex unit("Port : ([^\r]*)\r\nDevice : \\w+\r\nUnit Serial : (\\d+)\r\n");
    std::string last;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), unit); it != std::sregex_iterator(); ++it) {
        spent.push_back(std::stoi((*it)[2]));
        if ((*it)[1] == board.Port())
            last = (*it)[2];
    }
    std::sort(spent.begin(), spent.end());
    ASSERT_GE(spent.size(), 6u) << log;
    std::vector<int> contiguous(spent.size());
    std::iota(contiguous.begin(), contiguous.end(), 500);
    EXPECT_EQ(spent, contiguous) << log;
    const auto flash = board.Sim().GetFLASH();
    ASSERT_FALSE(last.empty()) << log;
    EXPECT_EQ(std::string(flash.begin() + 0x20000, flash.begin() + 0x20006), std::string(6 - last.size(), '0') + last);
}
