#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "PtyPeer.h"
#include "TestSupport.h"
#include "comms/FLASHComms.h"

namespace {
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// Opens the protected parts the tests look at.
class CProbeComms : public CFLASHComms
{
public:
    using CFLASHComms::CFLASHComms;
    using CFLASHComms::SetTimeouts;
    DWORD ReadTimeout() const { return m_CurrentTimeouts.ReadTotalTimeoutConstant; }
    DWORD WriteTimeout() const { return m_CurrentTimeouts.WriteTotalTimeoutConstant; }
    void SetAlternateOptions(const char* pszSettings, eTimeoutType type)
    {
        m_strAlternateSettings = pszSettings;
        m_AlternateTimeoutType = type;
    }
    CFLASHComms* Alternate() const { return m_pAlternateComms; }
};

long ElapsedMs(Clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

long ThreadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

class CommsTest : public ::testing::Test
{
protected:
    // Every message that reached the host, as "id:text".
    std::vector<std::string> Shown()
    {
        std::vector<std::string> all;
        for (const auto& s : host.shown)
            all.push_back(std::to_string(s.id) + ":" + s.text);
        return all;
    }

    zftest::ScopedSettings settings;
    zftest::RecordingHost host;
    zftest::CPtyPeer peer;
};

// Runs body in a child process; the child always ends, the parent reaps it.
class CChild
{
public:
    explicit CChild(const std::function<void(int toParent, int fromParent)>& body)
    {
        if (::pipe(m_up) != 0 || ::pipe(m_down) != 0)
            std::abort();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(m_up[0]);
            ::close(m_down[1]);
            body(m_up[1], m_down[0]);
            ::_exit(0);
        }
        ::close(m_up[1]);
        ::close(m_down[0]);
    }
    ~CChild()
    {
        Release();
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_up[0]);
    }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    // What the child wrote, until it closes its end (at most 10 s).
    std::string Read()
    {
        std::string text;
        char buf[512];
        pollfd pfd{m_up[0], POLLIN, 0};
        while (::poll(&pfd, 1, 10000) > 0) {
            const ssize_t n = ::read(m_up[0], buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<std::size_t>(n));
            if (text.back() == '\n')
                break;
        }
        return text;
    }
    // Lets the child finish and waits for it.
    void Release()
    {
        if (m_down[1] >= 0)
            ::close(m_down[1]);
        m_down[1] = -1;
        if (m_pid > 0 && ::waitpid(m_pid, nullptr, 0) == m_pid)
            m_pid = -1;
    }

private:
    int m_up[2] = {-1, -1};
    int m_down[2] = {-1, -1};
    pid_t m_pid = -1;
};

void WriteLine(int fd, const std::string& text)
{
    const std::string line = text + "\n";
    if (::write(fd, line.data(), line.size()) < 0)
        ::_exit(2);
}

// Waits until the parent lets go (closes its end), for at most 10 s.
void AwaitRelease(int fd)
{
    pollfd pfd{fd, POLLIN, 0};
    ::poll(&pfd, 1, 10000);
}
} // namespace

// --- opening and the port register --------------------------------------------------------

TEST_F(CommsTest, ASecondChannelFindsThePortBusyUntilTheFirstLetsGo)
{
    CFLASHComms first(peer.Path().c_str());
    CFLASHComms second;
    ASSERT_TRUE(first.Open());
    EXPECT_EQ(first.GetStatus(), psOpen);

    EXPECT_FALSE(second.Open(peer.Path().c_str()));
    EXPECT_EQ(second.GetStatus(), psInUse);
    EXPECT_EQ(Shown(), std::vector<std::string>{"15044:The communications port '" + peer.Path() +
                                                "' is currently connected"});
    EXPECT_EQ(host.shown[0].kind, skError);

    first.Close();
    EXPECT_EQ(first.GetStatus(), psClosed);
    EXPECT_TRUE(second.Open());
    EXPECT_EQ(second.GetStatus(), psOpen);

    // Destruction lets go as well.
    {
        CFLASHComms third(peer.Path().c_str());
        second.Close();
        ASSERT_TRUE(third.Open());
    }
    EXPECT_TRUE(second.Open());
}

TEST_F(CommsTest, OpeningAnOpenChannelKeepsItsPort)
{
    zftest::CPtyPeer other;
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    EXPECT_TRUE(comms.Open(other.Path().c_str()));
    EXPECT_EQ(std::string(comms.GetPortName()), peer.Path());
    ASSERT_TRUE(comms.WriteByte(0x5A));
    EXPECT_EQ(peer.Receive(1), Bytes{0x5A});
    EXPECT_TRUE(other.Receive(1, 50).empty());
}

TEST_F(CommsTest, APortHeldByAnotherProcessIsBusy)
{
    const std::string path = peer.Path();
    CChild holder([&path](int toParent, int fromParent) {
        CFLASHComms comms(path.c_str());
        WriteLine(toParent, comms.Open() ? "held" : "failed");
        AwaitRelease(fromParent);
    });
    ASSERT_EQ(holder.Read(), "held\n");

    CFLASHComms comms(path.c_str());
    EXPECT_FALSE(comms.Open());
    EXPECT_EQ(comms.GetStatus(), psInUse);
    EXPECT_EQ(Shown(), std::vector<std::string>{"15044:The communications port '" + path + "' is currently connected"});

    holder.Release();
    EXPECT_TRUE(comms.Open());
}

TEST_F(CommsTest, PortsThatCannotBeOpenedFailWithTheSystemsReason)
{
    zftest::TempDir dir;
    const std::string plain = dir.File("plain.txt");
    close(::open(plain.c_str(), O_CREAT | O_WRONLY, 0600));

    struct Case
    {
        std::string name;
        int error;
        std::string reason;
    } cases[] = {
        {"/dev/zflash-no-such-port", ENOENT, std::strerror(ENOENT)},
        {plain, ENOTTY, "not a serial port"},
        {"", ENOENT, "no port name was given"},
    };
    for (const auto& c : cases) {
        host.shown.clear();
        CFLASHComms comms(c.name.c_str());
        EXPECT_FALSE(comms.Open()) << c.name;
        EXPECT_EQ(comms.GetStatus(), psOpenFailed) << c.name;
        EXPECT_EQ(comms.GetLastError(), static_cast<DWORD>(c.error)) << c.name;
        ASSERT_EQ(host.shown.size(), 1u) << c.name;
        EXPECT_EQ(host.shown[0].kind, skError);
        EXPECT_NE(host.shown[0].text.find("'" + c.name + "'"), std::string::npos) << host.shown[0].text;
        EXPECT_NE(host.shown[0].text.find(c.reason), std::string::npos) << host.shown[0].text;
        // Nothing to read or write on a port that is not open, and no report for trying.
        unsigned char b = 0;
        EXPECT_FALSE(comms.ReadBytes(&b, 1, nullptr, false));
        EXPECT_FALSE(comms.WriteByte(b));
        EXPECT_FALSE(comms.FlushBuffers());
        EXPECT_EQ(host.shown.size(), 1u);
    }
}

TEST_F(CommsTest, PermissionDeniedNamesTheReasonAndTheSerialGroup)
{
    // The wording, for a port whose group is unknown.
    const CString text = SerialLine::DescribeOpenFailure("COM3", "/dev/zflash-absent", EACCES);
    EXPECT_NE(text.Find("'COM3' (/dev/zflash-absent)"), -1) << text.GetString();
    EXPECT_NE(text.Find(std::strerror(EACCES)), -1) << text.GetString();
    EXPECT_NE(text.Find("'dialout' group"), -1) << text.GetString();
    EXPECT_NE(text.Find("usermod -a -G dialout"), -1) << text.GetString();

    group* tty = ::getgrnam("tty");
    if (::geteuid() != 0 || !tty)
        GTEST_SKIP() << "the real refusal needs root (to hand the port to a group and drop to another user)";
    // The real thing: an unprivileged user opening a port that belongs to the 'tty' group.
    const std::string path = peer.Path();
    ASSERT_EQ(::chown(path.c_str(), 0, tty->gr_gid), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    CChild child([&path](int toParent, int) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            WriteLine(toParent, "cannot drop privileges");
            ::_exit(3);
        }
        zftest::RecordingHost childHost;
        CFLASHComms comms(path.c_str());
        comms.Open();
        WriteLine(toParent, std::to_string(comms.GetLastError()) + " " + std::to_string(comms.GetStatus()) + " " +
                                (childHost.shown.empty() ? "" : childHost.shown[0].text));
    });
    const std::string report = child.Read();
    EXPECT_EQ(report.rfind(std::to_string(EACCES) + " 0 ", 0), 0u) << report;
    EXPECT_NE(report.find(std::strerror(EACCES)), std::string::npos) << report;
    EXPECT_NE(report.find("'tty' group"), std::string::npos) << report;
}

// --- line settings ------------------------------------------------------------------------

TEST_F(CommsTest, OnlyTheRateOfTheSettingsTextReachesTheLine)
{
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    ASSERT_TRUE(comms.Settings("19200, e, 7, 2"));
    const termios t = peer.Line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | ICRNL), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(comms.GetBaudRate(), 19200u);

    ASSERT_TRUE(comms.Settings("250000,n,8,1")); // not in the standard table
    EXPECT_EQ(peer.OutputRate(), 250000u);
    EXPECT_TRUE(host.shown.empty());

    // Bytes pass untranslated both ways.
    ASSERT_TRUE(comms.WriteBytes(Bytes{'\n', '\r', 0x03, 0x11}.data(), 4, false));
    EXPECT_EQ(peer.Receive(4), (Bytes{'\n', '\r', 0x03, 0x11}));
    peer.Send({'\r', 0x04, 0x13});
    unsigned char buf[3] = {};
    ASSERT_TRUE(comms.ReadBytes(buf, 3, nullptr, false));
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{'\r', 0x04, 0x13}));
}

TEST_F(CommsTest, UnusableSettingsFailWithoutTouchingTheLine)
{
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    ASSERT_TRUE(comms.Settings("9600,n,8,1"));
    for (const char* text : {"fast,n,8,1", "0,n,8,1", "9600,q,8,1", "9600,n,9,1", "", "9600,n,8,1,p,7"}) {
        EXPECT_FALSE(comms.Settings(text)) << text;
        EXPECT_EQ(comms.GetLastError(), static_cast<DWORD>(EINVAL)) << text;
    }
    EXPECT_FALSE(comms.Settings(nullptr));
    const termios t = peer.Line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_TRUE(host.shown.empty());

    // Nor on a channel that was never opened.
    CFLASHComms closed(peer.Path().c_str());
    EXPECT_FALSE(closed.Settings("9600,n,8,1"));
    EXPECT_EQ(closed.GetLastError(), static_cast<DWORD>(EBADF));
}

TEST_F(CommsTest, ChangeBaudRateTwicePassesThroughTheDummyRate)
{
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    ASSERT_TRUE(comms.Settings("9600,n,8,1"));

    settings.Write("[Serial]\nChangeBaudRateTwice=1\nDummyBaudRate=1200\n");
    EXPECT_TRUE(comms.Settings("57600,n,8,1"));
    termios t = peer.Line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));

    settings.Write("[Serial]\nChangeBaudRateTwice=1\nDummyBaudRate=slow\n");
    EXPECT_FALSE(comms.Settings("115200,n,8,1"));
    EXPECT_EQ(Shown(), std::vector<std::string>{"0:Failed to set Dummy baud rate"});
    EXPECT_EQ(comms.GetLastError(), static_cast<DWORD>(EINVAL));
    t = peer.Line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600)); // the real rate was never tried
}

// --- time-outs ----------------------------------------------------------------------------

TEST_F(CommsTest, TimeoutKindsFollowTheRateAndTheMultiplier)
{
    CProbeComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    EXPECT_EQ(comms.ReadTimeout(), 1500u);
    EXPECT_EQ(comms.WriteTimeout(), 1500u);

    struct Row
    {
        const char* settings;
        DWORD quick, longer, superQuick;
    } rows[] = {
        {"9600,n,8,1", 400, 4000, 6},    {"38399,n,8,1", 400, 4000, 6},   {"38400,n,8,1", 155, 3500, 5},
        {"57600,n,8,1", 155, 3500, 5},   {"115199,n,8,1", 155, 3500, 5},  {"115200,n,8,1", 55, 3000, 5},
        {"230400,n,8,1", 55, 3000, 5},
    };
    for (const Row& r : rows) {
        ASSERT_TRUE(comms.Settings(r.settings));
        ASSERT_TRUE(comms.SetTimeouts(ttQuick));
        EXPECT_EQ(comms.ReadTimeout(), r.quick) << r.settings;
        ASSERT_TRUE(comms.SetTimeouts(ttLong));
        EXPECT_EQ(comms.ReadTimeout(), r.longer) << r.settings;
        ASSERT_TRUE(comms.SetTimeouts(ttSuperQuick));
        EXPECT_EQ(comms.ReadTimeout(), r.superQuick) << r.settings;
        EXPECT_EQ(comms.WriteTimeout(), 1500u) << r.settings;
    }

    settings.Write("[Serial]\nGeneralMultiplier=2\n");
    ASSERT_TRUE(comms.SetTimeouts(ttQuick));
    EXPECT_EQ(comms.ReadTimeout(), 110u);
    ASSERT_TRUE(comms.SetTimeouts(ttQuickUnscaled));
    EXPECT_EQ(comms.ReadTimeout(), 55u);
    ASSERT_TRUE(comms.SetTimeouts(ttExtraLong));
    EXPECT_EQ(comms.ReadTimeout(), 40000u);
    EXPECT_EQ(comms.WriteTimeout(), 20000u);
    ASSERT_TRUE(comms.SetTimeouts(ttStandard));
    EXPECT_EQ(comms.ReadTimeout(), 1500u);
    EXPECT_EQ(comms.WriteTimeout(), 1500u);
    ASSERT_TRUE(comms.SetTimeouts(100, -1));
    ASSERT_TRUE(comms.SetTimeouts(ttDefault));
    EXPECT_EQ(comms.ReadTimeout(), 1500u);
    EXPECT_TRUE(host.shown.empty());

    // A channel without a port has nowhere to put them.
    CProbeComms closed(peer.Path().c_str());
    EXPECT_FALSE(closed.SetTimeouts(ttQuick));
    EXPECT_EQ(Shown(), std::vector<std::string>{"15003:Failed to set communications timeouts"});
}

TEST_F(CommsTest, ReadsWaitTheReadTimeoutAndReturnWhatArrived)
{
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    struct Case
    {
        const char* settings;
        long expectedMs;
    } cases[] = {{"9600,n,8,1", 400}, {"38400,n,8,1", 155}, {"115200,n,8,1", 55}};
    for (const Case& c : cases) {
        ASSERT_TRUE(comms.Settings(c.settings));
        ASSERT_TRUE(comms.SetTimeouts(ttQuick));
        peer.Send({0xA1, 0xA2});
        unsigned char buf[4] = {};
        unsigned long received = 99;
        const auto start = Clock::now();
        EXPECT_FALSE(comms.ReadBytes(buf, 4, &received, false));
        const long elapsed = ElapsedMs(start);
        EXPECT_EQ(received, 2u);
        EXPECT_EQ(buf[0], 0xA1);
        EXPECT_EQ(buf[1], 0xA2);
        EXPECT_GE(elapsed, c.expectedMs - 5) << c.settings;
        EXPECT_LT(elapsed, c.expectedMs + 700) << c.settings;
    }
    EXPECT_TRUE(host.shown.empty()); // a count was asked for: no report

    unsigned char buf[2] = {};
    EXPECT_FALSE(comms.ReadBytes(buf, 2, nullptr, false));
    EXPECT_EQ(Shown(), std::vector<std::string>{"15005:'" + peer.Path() + ":' read time out"});
}

TEST_F(CommsTest, AWriteTheLineDoesNotTakeTimesOut)
{
    CProbeComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    ASSERT_TRUE(comms.SetTimeouts(-1, 50));
    // Nobody reads the other end, so the line's buffers fill up.
    const Bytes flood(1 << 20, 0x55);
    const auto start = Clock::now();
    EXPECT_FALSE(comms.WriteBytes(flood.data(), flood.size(), false));
    EXPECT_LT(ElapsedMs(start), 20000);
    EXPECT_EQ(Shown(), std::vector<std::string>{"15004:'" + peer.Path() + ":' write time out"});
}

// --- bytes on the wire --------------------------------------------------------------------

TEST_F(CommsTest, SwapSendsTwoByteValuesSecondByteFirst)
{
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    const unsigned char value[] = {0x12, 0x34, 0x56, 0x78};
    ASSERT_TRUE(comms.WriteBytes(value, 2, true));
    EXPECT_EQ(peer.Receive(2), (Bytes{0x34, 0x12}));
    ASSERT_TRUE(comms.WriteBytes(value, 2, false));
    EXPECT_EQ(peer.Receive(2), (Bytes{0x12, 0x34}));
    ASSERT_TRUE(comms.WriteBytes(value, 4, true));
    EXPECT_EQ(peer.Receive(4), (Bytes{0x12, 0x34, 0x56, 0x78}));
    ASSERT_TRUE(comms.WriteBytes(value, 0, true));
}

TEST_F(CommsTest, SwapReversesTwoAndFourByteValuesRead)
{
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    struct Case
    {
        unsigned long count;
        bool swap;
        Bytes expected;
    } cases[] = {
        {2, true, {0x02, 0x01}},
        {4, true, {0x04, 0x03, 0x02, 0x01}},
        {3, true, {0x01, 0x02, 0x03}},
        {4, false, {0x01, 0x02, 0x03, 0x04}},
    };
    for (const Case& c : cases) {
        Bytes wire{0x01, 0x02, 0x03, 0x04};
        wire.resize(c.count);
        peer.Send(wire);
        Bytes buf(c.count);
        ASSERT_TRUE(comms.ReadBytes(buf.data(), c.count, nullptr, c.swap));
        EXPECT_EQ(buf, c.expected) << c.count << (c.swap ? " swapped" : "");
    }
}

TEST_F(CommsTest, PacingPausesAfterEachByteButNotInASwappedPair)
{
    settings.Write("[Serial]\nSleepOnWrite=1\nSleepTime=50\nSleepCount=2\n");
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open()); // pacing is read here
    const unsigned char bytes[] = {1, 2, 3};
    auto start = Clock::now();
    ASSERT_TRUE(comms.WriteBytes(bytes, 3, false));
    EXPECT_GE(ElapsedMs(start), 3 * 2 * 50 - 5);
    start = Clock::now();
    ASSERT_TRUE(comms.WriteBytes(bytes, 2, true));
    EXPECT_LT(ElapsedMs(start), 2 * 50);
    EXPECT_EQ(peer.Receive(5), (Bytes{1, 2, 3, 2, 1}));
}

// --- waiting for a response ---------------------------------------------------------------

TEST_F(CommsTest, TimedResponseTellsTheExpectedByteFromAnother)
{
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    unsigned char expected = 0x06;
    peer.Send({0x06});
    EXPECT_TRUE(comms.GetTimedResponse(&expected, 2));
    peer.Send({0x15});
    EXPECT_FALSE(comms.GetTimedResponse(&expected, 2));
    EXPECT_EQ(expected, 0x15);
    EXPECT_TRUE(host.shown.empty());
}

TEST_F(CommsTest, TimedResponseTimesOutWithoutSpinning)
{
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    unsigned char expected = 0x06;
    const long cpuBefore = ThreadCpuMs();
    const auto start = Clock::now();
    EXPECT_FALSE(comms.GetTimedResponse(&expected, 1));
    const long elapsed = ElapsedMs(start);
    EXPECT_GE(elapsed, 1000);
    EXPECT_LT(elapsed, 1000 + 1500 + 700); // the deadline plus at most one read
    EXPECT_LT(ThreadCpuMs() - cpuBefore, 200);
    EXPECT_EQ(Shown(), std::vector<std::string>{"15005:'" + peer.Path() + ":' read time out"});
}

TEST_F(CommsTest, CancelFromAnotherThreadEndsTheWaitWithinOneRead)
{
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    bool result = false;
    long elapsed = 0;
    std::thread waiter([&] {
        unsigned char expected = 0x06;
        const auto start = Clock::now();
        result = comms.GetTimedResponse(&expected, 20);
        elapsed = ElapsedMs(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    comms.Cancel();
    waiter.join();
    EXPECT_TRUE(result);
    EXPECT_LT(elapsed, 200 + 1500 + 1000);
    EXPECT_TRUE(host.shown.empty());
}

// --- a line that goes away ----------------------------------------------------------------

TEST_F(CommsTest, APortThatDisappearsFailsCleanlyAndOnce)
{
    CFLASHComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    ASSERT_TRUE(comms.Settings("115200,n,8,1"));
    peer.Hangup();

    unsigned char expected = 0x06;
    const auto start = Clock::now();
    EXPECT_FALSE(comms.GetTimedResponse(&expected, 10));
    EXPECT_LT(ElapsedMs(start), 1500);
    EXPECT_EQ(comms.GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_EQ(Shown(), std::vector<std::string>{"0:Serial port '" + peer.Path() +
                                                "' is no longer available: " + std::strerror(EIO)});
    EXPECT_FALSE(comms.WriteByte(0x01));
    unsigned char buf[2];
    EXPECT_FALSE(comms.ReadBytes(buf, 2, nullptr, false));
    EXPECT_EQ(host.shown.size(), 1u);
    EXPECT_TRUE(comms.Close());
    EXPECT_EQ(comms.GetStatus(), psClosed);

    // A closed channel does not wait at all.
    EXPECT_FALSE(comms.GetTimedResponse(&expected, 10));
    EXPECT_LT(ElapsedMs(start), 1500);
    EXPECT_EQ(host.shown.back().text, "Port '" + peer.Path() + "' is not open");
}

// --- the alternate channel ----------------------------------------------------------------

TEST_F(CommsTest, RoutingSendsTimedResponsesAndCancelToTheAlternate)
{
    zftest::CPtyPeer board;
    CProbeComms comms(peer.Path().c_str());
    ASSERT_TRUE(comms.Open());
    // Without an alternate there is nothing to route to.
    EXPECT_TRUE(comms.UseAlternateComms(true, true));
    unsigned char expected = 0x06;
    peer.Send({0x06});
    EXPECT_TRUE(comms.GetTimedResponse(&expected, 2));

    comms.SetAlternateComms(board.Path().c_str());
    CFLASHComms* alternate = comms.Alternate();
    comms.SetAlternateComms(board.Path().c_str());
    EXPECT_EQ(comms.Alternate(), alternate); // same name: kept
    EXPECT_EQ(alternate->GetStatus(), psClosed);

    comms.SetAlternateOptions("19200,n,8,1", ttQuick);
    ASSERT_TRUE(comms.UseAlternateComms(true, true));
    EXPECT_EQ(alternate->GetStatus(), psOpen);
    const termios t = board.Line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    peer.Send({0x07});
    board.Send({0x06});
    EXPECT_TRUE(comms.GetTimedResponse(&expected, 2));

    // A cancel while routed ends the alternate's wait.
    bool result = false;
    std::thread waiter([&] { result = comms.GetTimedResponse(&expected, 20); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    comms.Cancel();
    waiter.join();
    EXPECT_TRUE(result);

    // Routed back, the alternate closed: responses come from the main port again.
    ASSERT_TRUE(comms.UseAlternateComms(false, true));
    EXPECT_EQ(alternate->GetStatus(), psClosed);
    expected = 0x07; // sent while routed away, it waited there
    EXPECT_TRUE(comms.GetTimedResponse(&expected, 2));

    // Opened without routing.
    ASSERT_TRUE(comms.UseAlternateComms(true, false));
    EXPECT_EQ(alternate->GetStatus(), psOpen);
    expected = 0x06;
    peer.Send({0x06});
    EXPECT_TRUE(comms.GetTimedResponse(&expected, 2));
    EXPECT_TRUE(host.shown.empty());

    // Another name replaces the alternate; one that cannot be opened is reported.
    comms.SetAlternateComms("/dev/zflash-no-board");
    EXPECT_NE(comms.Alternate(), nullptr);
    EXPECT_FALSE(comms.UseAlternateComms(true, true));
    ASSERT_EQ(host.shown.size(), 2u);
    EXPECT_EQ(host.shown.back().text, "Unable to open port '/dev/zflash-no-board'");
}
