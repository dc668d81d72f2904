// The JTAG channel reaching zflash-sim in another process through the adapter
// socket: kernel words both ways, one host at a time, and a link that is
// missing, vanishes or talks nonsense failing with a reason instead of hanging.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "ExitCode.h"
#include "TestSupport.h"
#include "ToolProcess.h"
#include "comms/FLASHJTAGComms.h"
#include "comms/ScanletSocket.h"

using namespace zftest;

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
    for (const ShownStatus& s : host.shown)
        if (s.text.find(text) != std::string::npos)
            return true;
    return false;
}

int ConnectTo(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
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

::testing::AssertionResult Handshake(CFLASHJTAGComms& comms)
{
    const unsigned char command = 0x0A;
    unsigned char answer[2] = {};
    if (!comms.WriteBytes(&command, 1, true) || !comms.ReadBytes(answer, 1, nullptr, true) ||
        !comms.ReadBytes(answer + 1, 1, nullptr, true))
        return ::testing::AssertionFailure() << "no handshake";
    if (answer[0] != 0x5A || answer[1] != 0x00)
        return ::testing::AssertionFailure() << std::hex << int(answer[0]) << " " << int(answer[1]);
    return ::testing::AssertionSuccess();
}

TEST(PeltoSocket, ChannelExchangesKernelWordsWithASeparateSimulatorOneHostAtATime)
{
    ScopedSettings settings;
    RecordingHost host;
    TempDir dir;
    SAdapterSim sim(dir);
    ASSERT_EQ(sim.m_sim.Port().rfind("/dev/", 0), 0u) << sim.m_sim.Port(); // the pty line stays first
    ASSERT_EQ(sim.m_strShown, sim.m_strSocket);
    ScopedAdapterSocket adapter(sim.m_strSocket);

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
    EXPECT_FALSE(second.ReadBytes(&extra, 1, nullptr, true));
    EXPECT_TRUE(second.Close());
}

TEST(PeltoSocket, ToolProgramsThroughTheSocketAndNamesAMissingOne)
{
    ScopedSettings settings;
    TempDir dir;
    const std::vector<std::string> args{"-d", SourceFile("devices/ZT31F256.ini"), "-p", "Quarn Pelto", "-c",
                                        "boot-resident"};
    {
        ScopedAdapterSocket adapter(dir.File("nobody.sock"));
        std::vector<std::string> blank = args;
        blank.push_back("blank");
        const SToolResult r = RunZflash(blank);
        EXPECT_EQ(r.code, ecConnection) << r.err;
        EXPECT_NE(r.err.find("cannot reach the adapter at '" + dir.File("nobody.sock") + "': No such file"),
                  std::string::npos)
            << r.err;
    }
    SAdapterSim sim(dir);
    ScopedAdapterSocket adapter(sim.m_strSocket);
    std::vector<std::string> program = args;
    program.insert(program.begin(), "--json");
    program.insert(program.end(), {"program", SourceFile("examples/blinky.mot"), "--verify"});
    const SToolResult r = RunZflash(program);
    ASSERT_EQ(r.code, ecSuccess) << r.out << r.err;
    const auto last = nlohmann::json::parse(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1));
    EXPECT_EQ(last["data"]["verified"], true) << r.out;
}

TEST(PeltoSocket, SimulatorRefusesAPathItCannotServe)
{
    TempDir dir;
    std::ofstream(dir.File("taken")) << "a file";
    CSimProcess fileInTheWay("devices/ZT31F256.ini", {"--pelto", dir.File("taken")});
    EXPECT_EQ(fileInTheWay.Stop(), 1);
    EXPECT_NE(fileInTheWay.Err().find("not a socket"), std::string::npos) << fileInTheWay.Err();
    EXPECT_TRUE(std::filesystem::exists(dir.File("taken")));

    SAdapterSim serving(dir);
    CSimProcess second("devices/ZT31F256.ini", {"--pelto", serving.m_strSocket});
    EXPECT_EQ(second.Stop(), 1);
    EXPECT_NE(second.Err().find("another program serves it"), std::string::npos) << second.Err();
    EXPECT_TRUE(std::filesystem::exists(serving.m_strSocket)); // the first one's socket is left alone
}

// A stand-in adapter server: answers each request with the bytes reply makes
// of it, and closes the link when reply gives nothing.
class CFakeAdapter
{
public:
    using Reply = std::function<std::optional<std::vector<unsigned char>>(const SScanletFrame&)>;

    CFakeAdapter(const std::string& path, Reply reply) : m_strPath(path), m_reply(std::move(reply))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
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

    static std::vector<unsigned char> Frame(unsigned char kind, std::vector<unsigned char> payload)
    {
        std::vector<unsigned char> bytes{kind, static_cast<unsigned char>(payload.size()),
                                         static_cast<unsigned char>(payload.size() >> 8)};
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        return bytes;
    }

private:
    void Serve()
    {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        for (SScanletFrame frame;
             CScanletWire::Receive(fd, frame, CScanletWire::After(20000)) == sioDone;) {
            const auto bytes = m_reply(frame);
            if (!bytes || ::send(fd, bytes->data(), bytes->size(), MSG_NOSIGNAL) < 0)
                break;
        }
        ::close(fd);
    }

    std::string m_strPath;
    Reply m_reply;
    int m_listen = -1;
    std::thread m_thread;
};

std::optional<std::vector<unsigned char>> OpenThen(const SScanletFrame& request,
                                                   std::optional<std::vector<unsigned char>> other)
{
    if (request.m_nKind == srOpen)
        return CFakeAdapter::Frame(srOpen, {1});
    return other;
}

TEST(PeltoSocket, BackEndDropsALinkThatClosesMidWordOrAnswersNonsense)
{
    TempDir dir;
    const unsigned char word[4] = {1, 2, 3, 4};
    unsigned char got[4] = {};
    {
        CFakeAdapter fake(dir.File("a.sock"), [](const SScanletFrame& r) {
            return r.m_nKind == srReadWord ? std::nullopt : OpenThen(r, CFakeAdapter::Frame(r.m_nKind, {0xE8, 3, 0, 0}));
        });
        CScanletSocketBackend backend(dir.File("a.sock"));
        CString error;
        ASSERT_TRUE(backend.OpenPort(error)) << error.GetString();
        EXPECT_EQ(backend.WriteWord(word, 100), SCANLET_OK);
        EXPECT_EQ(backend.ReadWord(got, 100), SCANLET_NOT_OPEN); // closed with the word unanswered
        EXPECT_NE(backend.GetLastError().str().find("the connection was closed"), std::string::npos);
        EXPECT_EQ(backend.WriteWord(word, 100), SCANLET_NOT_OPEN); // and stays down
    }
    const std::pair<const char*, CFakeAdapter::Reply> nonsense[] = {
        {"length past the limit", [](const SScanletFrame& r) { return OpenThen(r, std::vector<unsigned char>{'R', 0xFF, 0xFF}); }},
        {"answer of another kind", [](const SScanletFrame& r) { return OpenThen(r, CFakeAdapter::Frame('W', {0xE8, 3, 0, 0, 9, 9, 9, 9})); }},
        {"word cut short", [](const SScanletFrame& r) { return OpenThen(r, CFakeAdapter::Frame('R', {0xE8, 3, 0, 0, 9})); }},
    };
    for (const auto& [name, reply] : nonsense) {
        const std::string path = dir.File(std::string(name).substr(0, 4) + ".sock");
        CFakeAdapter fake(path, reply);
        CScanletSocketBackend backend(path);
        CString error;
        ASSERT_TRUE(backend.OpenPort(error)) << name;
        EXPECT_EQ(backend.ReadWord(got, 100), SCANLET_NOT_OPEN) << name;
        EXPECT_NE(backend.GetLastError().str().find("not understood"), std::string::npos) << name;
    }
    {
        // Silence past the word's time-out and its grace: a time-out, and the
        // link is dropped so a late answer cannot be taken for the next word's.
        CFakeAdapter fake(dir.File("s.sock"), [](const SScanletFrame& r) {
            return OpenThen(r, std::vector<unsigned char>{});
        });
        CScanletSocketBackend backend(dir.File("s.sock"));
        CString error;
        ASSERT_TRUE(backend.OpenPort(error));
        EXPECT_EQ(backend.ReadWord(got, 0), SCANLET_TIMEOUT);
        EXPECT_NE(backend.GetLastError().str().find("no answer in time"), std::string::npos);
        EXPECT_EQ(backend.ReadWord(got, 0), SCANLET_NOT_OPEN);
    }
    {
        CFakeAdapter fake(dir.File("r.sock"), [](const SScanletFrame&) {
            return CFakeAdapter::Frame(srOpen, {0, 'b', 'u', 's', 'y'});
        });
        CScanletSocketBackend backend(dir.File("r.sock"));
        CString error;
        EXPECT_FALSE(backend.OpenPort(error));
        EXPECT_EQ(error.str(), "busy");
    }
}

} // namespace
