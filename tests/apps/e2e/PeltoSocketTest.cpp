// The JTAG channel reaching zflash-sim in another process through the adapter
// socket: kernel words both ways, one host at a time, and a link that is
// missing, vanishes or talks nonsense failing with a reason instead of hanging.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <tuple>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "ExitCode.h"
#include "TestSupport.h"
#include "ToolProcess.h"
#include "comms/FLASHJTAGComms.h"
#include "comms/ScanletSocket.h"

using namespace zftest;
using ::testing::HasSubstr;

namespace {

// Points the library's default adapter at a socket for the life of the object.
class ScopedAdapterSocket
{
public:
    explicit ScopedAdapterSocket(const std::string& path) { ::setenv(SCANLET_SOCKET_VARIABLE, path.c_str(), 1); }
    ~ScopedAdapterSocket() { ::unsetenv(SCANLET_SOCKET_VARIABLE); }
};

bool Shown(const RecordingHost& host, const std::string& text)
{
    return std::any_of(host.shown.begin(), host.shown.end(),
                       [&](const ShownStatus& s) { return s.text.find(text) != std::string::npos; });
}

sockaddr_un Address(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return address;
}

int ConnectTo(const std::string& path)
{
    const sockaddr_un address = Address(path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// zflash-sim with a chip whose kernel is running, serving the adapter.
struct SAdapterSim
{
    explicit SAdapterSim(const TempDir& dir)
        : m_strSocket(dir.File("pelto.sock")),
          m_sim("devices/ZT31F256.ini",
                {"--pelto", m_strSocket, "--set", "Start Mode=BOOT Resident", "--set", "Handshake=0x5A"})
    {
        m_sim.ReadLine(m_strShown);
    }
    std::string m_strSocket;
    CSimProcess m_sim;
    std::string m_strShown;
};

using PeltoSocket = TToolRun<>;

bool Handshake(CFLASHJTAGComms& comms)
{
    const unsigned char command = 0x0A;
    unsigned char answer[2] = {};
    return comms.WriteBytes(&command, 1, true) && comms.ReadBytes(answer, 1, nullptr, true) &&
           comms.ReadBytes(answer + 1, 1, nullptr, true) && answer[0] == 0x5A && answer[1] == 0x00;
}

TEST_F(PeltoSocket, ChannelExchangesKernelWordsWithASeparateSimulatorOneHostAtATime)
{
    RecordingHost host;
    SAdapterSim sim(dir);
    ASSERT_EQ(sim.m_sim.Port().rfind("/dev/", 0), 0u) << sim.m_sim.Port(); // the pty line stays first
    ASSERT_EQ(sim.m_strShown, sim.m_strSocket);
    ScopedAdapterSocket adapter(sim.m_strSocket);
    CSimProcess rival("devices/ZT31F256.ini", {"--pelto", sim.m_strSocket});
    EXPECT_EQ(rival.Stop(), 1);
    EXPECT_THAT(rival.Err(), HasSubstr("another program serves it"));

    CFLASHJTAGComms first;
    ASSERT_TRUE(first.Open()) << (host.shown.empty() ? "" : host.shown.back().text);
    EXPECT_TRUE(Handshake(first));

    CFLASHJTAGComms second;
    EXPECT_FALSE(second.Open());
    EXPECT_TRUE(Shown(host, "Quarn Pelto : the adapter's port is in use by another program"));

    // A client that sends nonsense is dropped, and the adapter serves on.
    ASSERT_TRUE(first.Close());
    const int raw = ConnectTo(sim.m_strSocket);
    ASSERT_GE(raw, 0);
    const unsigned char nonsense[] = {'Z', 0, 0};
    ASSERT_EQ(::send(raw, nonsense, sizeof nonsense, MSG_NOSIGNAL), 3);
    char byte = 0;
    EXPECT_EQ(::recv(raw, &byte, 1, 0), 0);
    ::close(raw);

    ASSERT_TRUE(second.Open());
    EXPECT_TRUE(Handshake(second));
    second.SetTimeouts(ttSuperQuick);
    unsigned char extra = 0;
    EXPECT_FALSE(second.ReadBytes(&extra, 1, nullptr, true)); // nothing more: the word's time-out
    EXPECT_TRUE(Shown(host, "'Quarn Pelto:' read time out"));
    EXPECT_TRUE(Handshake(second)); // and the link is still in step

    // The simulator going away mid-session: the next word fails, it does not hang.
    EXPECT_EQ(sim.m_sim.Stop(SIGTERM), 0) << sim.m_sim.Err();
    EXPECT_FALSE(std::filesystem::exists(sim.m_strSocket));
    const unsigned char command = 0x0A;
    EXPECT_FALSE(second.WriteBytes(&command, 1, true));
    EXPECT_TRUE(Shown(host, "'Quarn Pelto:' write time out"));
    EXPECT_TRUE(Shown(host, "Quarn Pelto : the adapter's port is not open (the link to the adapter at '" +
                                sim.m_strSocket + "' was dropped: "));
    EXPECT_FALSE(second.ReadBytes(&extra, 1, nullptr, true));
    EXPECT_TRUE(second.Close());
}

TEST_F(PeltoSocket, ToolProgramsThroughTheSocketAndNamesAMissingOne)
{
    const std::vector<std::string> args{"-d", SourcePath("devices/ZT31F256.ini"), "-p", "Quarn Pelto", "-c",
                                        "boot-resident"};
    std::ofstream(dir.File("taken")) << "a file";
    CSimProcess fileInTheWay("devices/ZT31F256.ini", {"--pelto", dir.File("taken")});
    EXPECT_EQ(fileInTheWay.Stop(), 1);
    EXPECT_THAT(fileInTheWay.Err(), HasSubstr("not a socket"));
    {
        ScopedAdapterSocket adapter(dir.File("nobody.sock"));
        std::vector<std::string> blank = args;
        blank.push_back("blank");
        const SToolResult r = RunZflash(blank);
        EXPECT_EQ(r.code, ecConnection) << r.err;
        EXPECT_THAT(r.err, HasSubstr("cannot reach the adapter at '" + dir.File("nobody.sock") + "': No such file"));
        EXPECT_THAT(r.err, HasSubstr("zflash-sim --pelto " + dir.File("nobody.sock")));
    }
    SAdapterSim sim(dir);
    ScopedAdapterSocket adapter(sim.m_strSocket);
    std::vector<std::string> program = args;
    program.insert(program.end(), {"program", SourcePath("examples/blinky.mot"), "--verify"});
    const SToolResult r = RunZflash(program);
    EXPECT_EQ(r.code, ecSuccess) << r.out << r.err; // a verify that fails has its own code
    EXPECT_THAT(r.out + r.err, HasSubstr("1856 bytes"));
}

using Bytes = std::optional<std::vector<unsigned char>>;

std::vector<unsigned char> Frame(unsigned char kind, std::vector<unsigned char> payload)
{
    payload.insert(payload.begin(), {kind, static_cast<unsigned char>(payload.size()),
                                     static_cast<unsigned char>(payload.size() >> 8)});
    return payload;
}

// A stand-in adapter server: opens the port, then answers each word read with
// the given bytes, or closes the link instead when there are none.
class CFakeAdapter
{
public:
    CFakeAdapter(const std::string& path, Bytes answer) : m_strPath(path), m_answer(std::move(answer))
    {
        const sockaddr_un address = Address(path);
        m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(m_listen, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listen, 2) != 0)
            std::abort();
        m_thread = std::thread([this] { Serve(); });
    }
    ~CFakeAdapter()
    {
        ::close(ConnectTo(m_strPath)); // wakes the accept if no client came
        m_thread.join();
        ::close(m_listen);
    }

private:
    void Serve()
    {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        for (SScanletFrame f; CScanletWire::Receive(fd, f, CScanletWire::After(20000)) == sioDone;) {
            const Bytes bytes = f.m_nKind == srOpen ? Frame(srOpen, {1}) : m_answer;
            if (!bytes || ::send(fd, bytes->data(), bytes->size(), MSG_NOSIGNAL) < 0)
                break;
        }
        ::close(fd);
    }

    std::string m_strPath;
    Bytes m_answer;
    int m_listen = -1;
    std::thread m_thread;
};

TEST_F(PeltoSocket, BackEndDropsALinkThatFailsAWordForGood)
{
    // What the adapter answers to the word read (nothing: it closes the link instead), and what the back end makes of it.
    const std::tuple<const char*, Bytes, int, const char*> cases[] = {
        {"closed mid-word", std::nullopt, SCANLET_NOT_OPEN, "the connection was closed"},
        {"length past the limit", Bytes{{'R', 0xFF, 0xFF}}, SCANLET_NOT_OPEN, "not understood"},
        {"another kind", Frame('W', {0xE8, 3, 0, 0, 9, 9, 9, 9}), SCANLET_NOT_OPEN, "not understood"},
        {"word cut short", Frame('R', {0xE8, 3, 0, 0, 9}), SCANLET_NOT_OPEN, "not understood"},
        // Past the word's time-out and its grace; the link goes too, so a late
        // answer cannot be taken for the next word's.
        {"silence", Bytes{std::vector<unsigned char>{}}, SCANLET_TIMEOUT, "no answer in time"},
    };
    int n = 0;
    for (const auto& [name, answer, result, reason] : cases) {
        const std::string path = dir.File(std::to_string(++n) + ".sock");
        CFakeAdapter fake(path, answer);
        CScanletSocketBackend backend(path);
        CString error;
        ASSERT_TRUE(backend.OpenPort(error)) << name << error.GetString();
        unsigned char word[4] = {};
        EXPECT_EQ(backend.ReadWord(word, 0), result) << name;
        EXPECT_THAT(backend.GetLastError().str(), HasSubstr(reason)) << name;
        EXPECT_EQ(backend.WriteWord(word, 0), SCANLET_NOT_OPEN) << name; // and stays down
    }
}

} // namespace

TEST_F(PeltoSocket, AnAdapterHostKeepsAnIdleLimitedSimulatorRunning)
{
    // The host only talks to the adapter here; the chip hears nothing.
    const std::string socket = dir.File("pelto.sock");
    CSimProcess sim("devices/ZT31F256.ini", {"--pelto", socket, "--idle", "2"});
    std::string shown;
    ASSERT_TRUE(sim.ReadLine(shown));
    CScanletSocketBackend adapter(socket.c_str());
    CString error;
    ASSERT_TRUE(adapter.OpenPort(error)) << error.GetString();
    // Longer than the idle limit in all, with gaps far inside it.
    for (int i = 0; i < 60; ++i) {
        adapter.SetClockDivider(2);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(adapter.GetLastError().IsEmpty()) << adapter.GetLastError().GetString();
    adapter.ClosePort();
    std::string more;
    EXPECT_FALSE(sim.ReadLine(more)); // it stops by itself once both are quiet
    sim.Stop();
    EXPECT_NE(sim.Err().find("idle for 2 seconds"), std::string::npos) << sim.Err();
}
