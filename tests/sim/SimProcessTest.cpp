// zflash-sim as a process: the port on its first line, a session over the
// wire, the dump and transcript at the end, and bad input.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ScriptedHost.h"
#include "TestSupport.h"

using namespace simtest;

namespace {
class CSimProcess
{
public:
    ~CSimProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0)
            ::close(m_out);
        if (m_err >= 0)
            ::close(m_err);
    }

    // Starts zflash-sim and reads the first line of its output.
    bool Start(const std::vector<std::string>& args)
    {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0)
            return false;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char*> argv = {const_cast<char*>(ZFLASH_SIM_EXE)};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(ZFLASH_SIM_EXE, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
        m_line = ReadLine(m_out, 10000);
        return !m_line.empty();
    }

    // Waits for the end; the exit status, or -1.
    int Wait()
    {
        for (int waited = 0; waited < 10000; waited += 5) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            ::usleep(5000);
        }
        return -1;
    }
    int Stop()
    {
        ::kill(m_pid, SIGTERM);
        return Wait();
    }
    std::string Errors() { return ReadLine(m_err, 1000, true); }
    const std::string& FirstLine() const { return m_line; }

private:
    static std::string ReadLine(int fd, int timeoutMs, bool all = false)
    {
        std::string s;
        char c;
        pollfd p = {fd, POLLIN, 0};
        while (::poll(&p, 1, timeoutMs) > 0 && ::read(fd, &c, 1) == 1) {
            if (c == '\n' && !all)
                break;
            s += c;
        }
        return s;
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_line;
};

} // namespace

TEST(SimProcess, TheDumpAndTranscriptShowTheSessionsEnd)
{
    // A device that erases itself after the micro-kernel, on a FLASH that starts at zero.
    zftest::TempDir dir;
    CSimProcess sim;
    ASSERT_TRUE(sim.Start({"-d", DevicePath("ZT33F128E.ini"), "--set", "Boot Rate=2400", "--set", "FLASH Fill=0",
                           "--set", "Auto Erase Time=20", "--dump", dir.File("flash.bin"), "--transcript",
                           dir.File("t.json")}));
    ASSERT_EQ(sim.FirstLine().rfind("/dev/pts/", 0), 0u) << sim.FirstLine();
    CScriptedHost host;
    ASSERT_TRUE(host.Open(sim.FirstLine()));
    ASSERT_EQ(host.Boot(), 2400u);
    ASSERT_EQ(host.Acknowledge(), 0xAA);
    ASSERT_TRUE(host.DownloadEchoed(ReadFile(DevicePath("kernels/zt31/zt31_ukernel.bin"))));
    EXPECT_EQ(host.Receive(1), std::vector<BYTE>{0xAA});

    EXPECT_EQ(sim.Stop(), 0) << sim.Errors();
    const std::vector<BYTE> flash = ReadFile(dir.File("flash.bin"));
    EXPECT_EQ(flash, std::vector<BYTE>(0x20000, 0xFF));
    const auto json = nlohmann::json::parse(std::ifstream(dir.File("t.json")));
    std::size_t garbled = 0, violations = 0;
    for (const auto& e : json["entries"]) {
        garbled += e.contains("flags");
        violations += e.value("event", "") == "violation";
    }
    EXPECT_EQ(violations, 0u);
    // The two tries at 9600 and at 4800 reached the chip as garbage.
    EXPECT_EQ(garbled, 4u);
}

TEST(SimProcess, LinksTheSlaveAndStopsWhenIdle)
{
    zftest::TempDir dir;
    CSimProcess sim;
    const std::string link = dir.File("zt31");
    ASSERT_TRUE(sim.Start({"-d", DevicePath("ZT31F256.ini"), "--link", link, "--idle", "0.3", "--transcript",
                           dir.File("t.txt")}));
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.FirstLine());
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_NE(sim.Errors().find("idle for 0.3 seconds"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    std::ifstream t(dir.File("t.txt"));
    const std::string text((std::istreambuf_iterator<char>(t)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("# zflash-sim transcript: ZT31F256"), std::string::npos) << text;
}

TEST(SimProcess, BadInputGivesAMessageAndAFailingExit)
{
    const struct
    {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"-d", DataPath("none.ini")}, "cannot read the device definition"},
        {{"-d", DevicePath("ZT31F256.ini"), "--set", "Boot Rate"}, "--set wants KEY=VALUE"},
        {{"-d", DevicePath("ZT31F256.ini"), "--set", "Kivu Board=perhaps"}, "\"Kivu Board\": 'perhaps' is not 0, 1, True or False"},
        {{"-d", DevicePath("ZT31F256.ini"), "--set", "kivu board=yes", "--set", "Kivu Firmware=0x0400"},
         "\"Kivu Firmware\": 1024 is outside 256..1023"},
        {{"-d", DevicePath("ZT31F256.ini"), "--set", "Pelto Scan Result=ten"}, "\"Pelto Scan Result\": 'ten' is not a number"},
    };
    for (const auto& c : cases) {
        CSimProcess sim;
        EXPECT_FALSE(sim.Start(c.args));
        EXPECT_EQ(sim.Wait(), 1);
        EXPECT_NE(sim.Errors().find(c.message), std::string::npos) << c.message;
    }
}
