#include <gtest/gtest.h>

#include <atomic>
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
#include <signal.h>
#include <sys/wait.h>

#include "PtyPeer.h"
#include "TestSupport.h"
#include "comms/FLASHComms.h"

namespace {
using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;
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

// Runs wait on another thread and cancels the comms until it returns: a wait
// clears the cancel flag as it starts, so a single early cancel could be lost.
void CancelWait(CFLASHComms& comms, const std::function<void()>& wait)
{
    std::atomic<bool> done{false};
    std::thread waiter([&] { wait(), done = true; });
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        comms.Cancel();
    }
    waiter.join();
}

// Runs body in a child process, which writes the line body returns and then
// sleeps (at most 10 s) until the parent ends it.
class CChild
{
public:
    explicit CChild(const std::function<std::string()>& body)
    {
        if (::pipe(m_up) != 0)
            std::abort();
        if ((m_pid = ::fork()) == 0) {
            const std::string line = body() + "\n";
            if (::write(m_up[1], line.data(), line.size()) < 0)
                ::_exit(2);
            ::sleep(10);
            ::_exit(0);
        }
        ::close(m_up[1]);
    }
    ~CChild()
    {
        Release();
        ::close(m_up[0]);
    }
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    std::string Line()
    {
        std::string text;
        char c = 0;
        pollfd pfd{m_up[0], POLLIN, 0};
        while (::poll(&pfd, 1, 10000) > 0 && ::read(m_up[0], &c, 1) == 1 && c != '\n')
            text += c;
        return text;
    }
    void Release()
    {
        if (m_pid > 0 && ::kill(m_pid, SIGKILL) == 0)
            ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

private:
    int m_up[2] = {-1, -1};
    pid_t m_pid = -1;
};

class CommsTest : public ::testing::Test
{
protected:
    // Every message that reached the host, as "id:text".
    Lines Shown()
    {
        Lines all;
        for (const auto& s : host.shown)
            all.push_back(std::to_string(s.id) + ":" + s.text);
        return all;
    }
    std::string Busy(const std::string& name) { return "15044:The communications port '" + name + "' is currently connected"; }

    zftest::ScopedSettings settings;
    zftest::RecordingHost host;
    zftest::CPtyPeer peer;
    CProbeComms comms{peer.Path().c_str()}; // opened by the tests that want it
};
} // namespace

// --- opening and the port register --------------------------------------------------------

TEST_F(CommsTest, APortIsBusyToOtherChannelsAndProcessesUntilItsHolderLetsGo)
{
    CFLASHComms first(peer.Path().c_str());
    CFLASHComms second;
    ASSERT_TRUE(first.Open());
    EXPECT_FALSE(second.Open(peer.Path().c_str()));
    EXPECT_EQ(second.GetStatus(), psInUse);
    EXPECT_EQ(Shown(), Lines{Busy(peer.Path())});
    EXPECT_EQ(host.shown[0].kind, skError);

    first.Close();
    EXPECT_EQ(first.GetStatus(), psClosed);
    ASSERT_TRUE(second.Open());
    // Opening again only purges: the other name is ignored.
    zftest::CPtyPeer other;
    EXPECT_TRUE(second.Open(other.Path().c_str()));
    EXPECT_EQ(second.GetPortName(), peer.Path());
    {
        CFLASHComms third(other.Path().c_str());
        ASSERT_TRUE(third.Open());
        second.Close();
    } // destruction lets go too
    EXPECT_TRUE(first.Open(other.Path().c_str()));

    // Held by another process, it is busy too.
    const std::string path = peer.Path();
    CChild holder([&path] {
        static CFLASHComms s_holder(path.c_str()); // open until the child ends
        return s_holder.Open() ? "held" : "failed";
    });
    ASSERT_EQ(holder.Line(), "held");
    EXPECT_FALSE(comms.Open());
    EXPECT_EQ(comms.GetStatus(), psInUse);
    EXPECT_EQ(Shown(), (Lines{Busy(path), Busy(path)}));
    holder.Release();
    EXPECT_TRUE(comms.Open());
}

TEST_F(CommsTest, PortsThatCannotBeOpenedFailWithTheSystemsReason)
{
    zftest::TempDir dir;
    const std::string plain = dir.File("plain.txt");
    ::close(::open(plain.c_str(), O_CREAT | O_WRONLY, 0600));
    struct
    {
        std::string name;
        int error;
        std::string reason;
    } cases[] = {{"/dev/zflash-no-such-port", ENOENT, std::strerror(ENOENT)},
                 {plain, ENOTTY, "not a serial port"},
                 {"", ENOENT, "no port name was given"}};
    for (const auto& c : cases) {
        host.shown.clear();
        CFLASHComms port(c.name.c_str());
        EXPECT_FALSE(port.Open()) << c.name;
        EXPECT_EQ(port.GetStatus(), psOpenFailed) << c.name;
        EXPECT_EQ(port.GetLastError(), static_cast<DWORD>(c.error)) << c.name;
        EXPECT_EQ(port.GetLastErrorText(), std::strerror(c.error));
        ASSERT_EQ(host.shown.size(), 1u) << c.name;
        EXPECT_EQ(host.shown[0].kind, skError);
        EXPECT_NE(host.shown[0].text.find("'" + c.name + "'"), std::string::npos) << host.shown[0].text;
        EXPECT_NE(host.shown[0].text.find(c.reason), std::string::npos) << host.shown[0].text;
        // A port that is not open does nothing, and says nothing for being asked.
        unsigned char b = 0;
        EXPECT_FALSE(port.ReadBytes(&b, 1, nullptr, false));
        EXPECT_FALSE(port.WriteByte(b));
        EXPECT_FALSE(port.FlushBuffers());
        EXPECT_EQ(host.shown.size(), 1u);
    }
}

TEST_F(CommsTest, PermissionDeniedNamesTheReasonAndTheSerialGroup)
{
    // The wording, for a device whose group is not known.
    const CString text = SerialLine::DescribeOpenFailure("COM3", "/dev/zflash-absent", EACCES);
    EXPECT_NE(text.Find("'COM3' (/dev/zflash-absent)"), -1) << text.GetString();
    EXPECT_NE(text.Find(std::strerror(EACCES)), -1) << text.GetString();
    EXPECT_NE(text.Find("'dialout' group"), -1) << text.GetString();
    EXPECT_NE(text.Find("usermod -a -G dialout"), -1) << text.GetString();

    // The real refusal: an unprivileged user opening a port of the 'tty' group.
    group* tty = ::getgrnam("tty");
    if (::geteuid() != 0 || !tty)
        GTEST_SKIP() << "needs root, to give the port to a group and drop to another user";
    const std::string path = peer.Path();
    ASSERT_EQ(::chown(path.c_str(), 0, tty->gr_gid), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0660), 0);
    CChild child([&path] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            return std::string("cannot drop privileges");
        zftest::RecordingHost childHost;
        CFLASHComms port(path.c_str());
        port.Open();
        return std::to_string(port.GetLastError()) + " " + std::to_string(port.GetStatus()) + " " +
               (childHost.shown.empty() ? "" : childHost.shown[0].text);
    });
    const std::string report = child.Line();
    const std::string head = std::to_string(EACCES) + " 0 Unable to open serial port '" + path + "': " + std::strerror(EACCES);
    EXPECT_EQ(report.substr(0, head.size()), head);
    EXPECT_NE(report.find("'tty' group"), std::string::npos) << report;
}

// --- line settings ------------------------------------------------------------------------

TEST_F(CommsTest, OnlyTheRateOfTheSettingsTextReachesTheLine)
{
    ASSERT_TRUE(comms.Open());
    ASSERT_TRUE(comms.Settings("19200, e, 7, 2"));
    const termios t = peer.Line();
    EXPECT_EQ(peer.OutputRate(), 19200u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(comms.GetBaudRate(), 19200u);
    ASSERT_TRUE(comms.Settings("250000,n,8,1")); // outside the standard table
    EXPECT_EQ(peer.OutputRate(), 250000u);

    // Bytes pass untranslated both ways: no echo, no line editing, no signals, no XON/XOFF.
    const Bytes special{'\n', '\r', 0x03, 0x11, 0x13, 0x7F};
    ASSERT_TRUE(comms.WriteBytes(special.data(), special.size(), false));
    EXPECT_EQ(peer.Receive(6), special);
    peer.Send(special);
    Bytes got(6);
    ASSERT_TRUE(comms.ReadBytes(got.data(), 6, nullptr, false));
    EXPECT_EQ(got, special);

    // Unusable texts fail without a report and leave the line alone.
    for (const char* bad : {"fast,n,8,1", "0,n,8,1", "9600,q,8,1", ""}) {
        EXPECT_FALSE(comms.Settings(bad)) << bad;
        EXPECT_EQ(comms.GetLastError(), static_cast<DWORD>(EINVAL)) << bad;
    }
    EXPECT_EQ(peer.OutputRate(), 250000u);
    EXPECT_TRUE(host.shown.empty());
    CFLASHComms closed(peer.Path().c_str());
    EXPECT_FALSE(closed.Settings("9600,n,8,1"));
    EXPECT_EQ(closed.GetLastError(), static_cast<DWORD>(EBADF));

    // Changing the rate twice passes through the dummy rate, which must be a rate.
    settings.Write("[Serial]\nChangeBaudRateTwice=1\nDummyBaudRate=1200\n");
    EXPECT_TRUE(comms.Settings("57600,n,8,1"));
    EXPECT_EQ(peer.OutputRate(), 57600u);
    settings.Write("[Serial]\nChangeBaudRateTwice=1\nDummyBaudRate=slow\n");
    EXPECT_FALSE(comms.Settings("115200,n,8,1"));
    EXPECT_EQ(Shown(), Lines{"0:Failed to set Dummy baud rate"});
    EXPECT_EQ(comms.GetLastError(), static_cast<DWORD>(EINVAL));
    EXPECT_EQ(peer.OutputRate(), 57600u); // the real rate was never tried
}

// --- time-outs ----------------------------------------------------------------------------

TEST_F(CommsTest, TimeoutKindsFollowTheRateAndTheMultiplier)
{
    ASSERT_TRUE(comms.Open());
    EXPECT_EQ(comms.ReadTimeout(), 1500u);
    // Rate, then ttQuick, ttLong, ttSuperQuick.
    const DWORD rows[][4] = {{9600, 400, 4000, 6},   {38399, 400, 4000, 6},   {38400, 155, 3500, 5},
                             {115199, 155, 3500, 5}, {115200, 55, 3000, 5}, {230400, 55, 3000, 5}};
    for (const auto& r : rows) {
        ASSERT_TRUE(comms.Settings(std::to_string(r[0]).c_str()));
        for (int kind = 0; kind < 3; ++kind) {
            ASSERT_TRUE(comms.SetTimeouts(kind == 0 ? ttQuick : kind == 1 ? ttLong : ttSuperQuick));
            EXPECT_EQ(comms.ReadTimeout(), r[kind + 1]) << r[0] << " kind " << kind;
        }
        EXPECT_EQ(comms.WriteTimeout(), 1500u);
    }

    settings.Write("[Serial]\nGeneralMultiplier=2\n");
    const struct
    {
        eTimeoutType type;
        DWORD read, write;
    } kinds[] = {{ttQuick, 110, 1500},       {ttQuickUnscaled, 55, 1500}, {ttExtraLong, 40000, 20000},
                 {ttStandard, 1500, 1500}, {ttLong, 6000, 1500},        {ttDefault, 1500, 1500}};
    for (const auto& k : kinds) {
        ASSERT_TRUE(comms.SetTimeouts(k.type));
        EXPECT_EQ(comms.ReadTimeout(), k.read) << k.type;
        EXPECT_EQ(comms.WriteTimeout(), k.write) << k.type;
    }
    EXPECT_TRUE(host.shown.empty());

    CProbeComms closed(peer.Path().c_str()); // has nowhere to put them
    EXPECT_FALSE(closed.SetTimeouts(ttQuick));
    EXPECT_EQ(Shown(), Lines{"15003:Failed to set communications timeouts"});
}

TEST_F(CommsTest, ReadsWaitTheReadTimeoutAndReturnWhatArrivedWritesTimeOutToo)
{
    ASSERT_TRUE(comms.Open());
    // The per-rate values are checked above; one rate shows that the line keeps to them.
    ASSERT_TRUE(comms.Settings("9600,n,8,1"));
    ASSERT_TRUE(comms.SetTimeouts(ttQuick));
    peer.Send({0xA1, 0xA2});
    unsigned char buf[4] = {};
    unsigned long received = 99;
    const auto start = Clock::now();
    EXPECT_FALSE(comms.ReadBytes(buf, 4, &received, false));
    const long elapsed = ElapsedMs(start);
    EXPECT_EQ(received, 2u);
    EXPECT_EQ(Bytes(buf, buf + 2), (Bytes{0xA1, 0xA2}));
    EXPECT_GE(elapsed, 400 - 5);
    EXPECT_LT(elapsed, 3000); // well short of the long wait (4000 ms at this rate)
    EXPECT_TRUE(host.shown.empty()); // a count was asked for: no report

    EXPECT_FALSE(comms.ReadBytes(buf, 2, nullptr, false));
    // A byte the line does not take times out too.
    ASSERT_TRUE(comms.SetTimeouts(-1, 50));
    const Bytes flood(1 << 20, 0x55); // nobody reads the other end: the buffers fill up
    EXPECT_FALSE(comms.WriteBytes(flood.data(), flood.size(), false));
    EXPECT_EQ(Shown(), (Lines{"15005:'" + peer.Path() + ":' read time out", "15004:'" + peer.Path() + ":' write time out"}));
}

// --- bytes on the wire --------------------------------------------------------------------

TEST_F(CommsTest, SwapTurnsTwoByteValuesWrittenAndTwoAndFourByteValuesReadAndIsNotPaced)
{
    ASSERT_TRUE(comms.Open());
    const unsigned char value[] = {0x12, 0x34, 0x56, 0x78};
    ASSERT_TRUE(comms.WriteBytes(value, 2, true));
    ASSERT_TRUE(comms.WriteBytes(value, 2, false));
    ASSERT_TRUE(comms.WriteBytes(value, 4, true));
    EXPECT_EQ(peer.Receive(8), (Bytes{0x34, 0x12, 0x12, 0x34, 0x12, 0x34, 0x56, 0x78}));

    const struct
    {
        unsigned long count;
        bool swap;
        Bytes expected;
    } reads[] = {{2, true, {0x02, 0x01}},
                 {4, true, {0x04, 0x03, 0x02, 0x01}},
                 {3, true, {0x01, 0x02, 0x03}},
                 {4, false, {0x01, 0x02, 0x03, 0x04}}};
    for (const auto& r : reads) {
        Bytes wire{0x01, 0x02, 0x03, 0x04};
        wire.resize(r.count);
        peer.Send(wire);
        Bytes got(r.count);
        ASSERT_TRUE(comms.ReadBytes(got.data(), r.count, nullptr, r.swap));
        EXPECT_EQ(got, r.expected) << r.count << (r.swap ? " swapped" : "");
    }

    // Pacing pauses after each byte but not in a swapped pair; the pauses are
    // long enough that a loaded machine cannot pass for one.
    settings.Write("[Serial]\nSleepOnWrite=1\nSleepTime=250\nSleepCount=2\n");
    ASSERT_TRUE(comms.Close() && comms.Open()); // pacing is read here
    const unsigned char bytes[] = {1, 2};
    auto start = Clock::now();
    ASSERT_TRUE(comms.WriteBytes(bytes, 2, false));
    EXPECT_GE(ElapsedMs(start), 2 * 2 * 250 - 5);
    start = Clock::now();
    ASSERT_TRUE(comms.WriteBytes(bytes, 2, true));
    EXPECT_LT(ElapsedMs(start), 2 * 250);
    EXPECT_EQ(peer.Receive(4), (Bytes{1, 2, 2, 1}));
}

// --- waiting for a response ---------------------------------------------------------------

TEST_F(CommsTest, TimedResponseTellsTheExpectedByteFromAnotherTimesOutWithoutSpinningAndCanBeCancelled)
{
    ASSERT_TRUE(comms.Open());
    unsigned char expected = 0x06;
    peer.Send({0x06});
    EXPECT_TRUE(comms.GetTimedResponse(&expected, 2));
    EXPECT_FALSE(comms.WaitWasCancelled());
    peer.Send({0x15});
    EXPECT_FALSE(comms.GetTimedResponse(&expected, 2));
    EXPECT_EQ(expected, 0x15);
    EXPECT_TRUE(host.shown.empty());

    // Cancelled from another thread, the wait ends within one read and the answer is still owed.
    bool result = false;
    long elapsed = 0;
    CancelWait(comms, [&] {
        expected = 0x06;
        const auto start = Clock::now();
        result = comms.GetTimedResponse(&expected, 20);
        elapsed = ElapsedMs(start);
    });
    EXPECT_TRUE(result);
    EXPECT_TRUE(comms.WaitWasCancelled());
    EXPECT_LT(elapsed, 100 + 1500 + 1000);
    EXPECT_TRUE(host.shown.empty());

    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    const auto start = Clock::now();
    EXPECT_FALSE(comms.GetTimedResponse(&expected, 1));
    elapsed = ElapsedMs(start);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    EXPECT_GE(elapsed, 1000);
    EXPECT_LT(elapsed, 1000 + 1500 + 700); // the deadline plus at most one read
    EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1000 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1000000, 200);
    EXPECT_EQ(Shown(), Lines{"15005:'" + peer.Path() + ":' read time out"});
}

TEST_F(CommsTest, APortThatDisappearsFailsAtOnceAndSaysSoOnce)
{
    ASSERT_TRUE(comms.Open());
    ASSERT_TRUE(comms.Settings("115200,n,8,1"));
    peer.Hangup();

    unsigned char expected = 0x06;
    const auto start = Clock::now();
    EXPECT_FALSE(comms.GetTimedResponse(&expected, 10));
    EXPECT_EQ(comms.GetLastError(), static_cast<DWORD>(EIO));
    EXPECT_EQ(Shown(), Lines{"0:Serial port '" + peer.Path() + "' is no longer available: " + std::strerror(EIO)});
    EXPECT_FALSE(comms.WriteByte(0x01));
    unsigned char buf[2];
    EXPECT_FALSE(comms.ReadBytes(buf, 2, nullptr, false));
    EXPECT_EQ(host.shown.size(), 1u);
    EXPECT_TRUE(comms.Close());

    EXPECT_FALSE(comms.GetTimedResponse(&expected, 10)); // closed: no wait either
    EXPECT_EQ(host.shown.back().text, "Port '" + peer.Path() + "' is not open");
    EXPECT_LT(ElapsedMs(start), 5000); // against two waits of 10 s
}

// --- the alternate channel ----------------------------------------------------------------

TEST_F(CommsTest, RoutingSendsTimedResponsesAndCancelToTheAlternate)
{
    zftest::CPtyPeer board;
    ASSERT_TRUE(comms.Open());
    EXPECT_TRUE(comms.UseAlternateComms(true, true)); // none yet: nothing to route to
    unsigned char expected = 0x06;
    peer.Send({0x06});
    EXPECT_TRUE(comms.GetTimedResponse(&expected, 2));

    comms.SetAlternateComms(board.Path().c_str());
    CFLASHComms* alternate = comms.Alternate();
    comms.SetAlternateComms(board.Path().c_str());
    EXPECT_EQ(comms.Alternate(), alternate); // same name: kept
    comms.SetAlternateOptions("19200,n,8,1", ttQuick);
    ASSERT_TRUE(comms.UseAlternateComms(true, true));
    EXPECT_EQ(alternate->GetStatus(), psOpen);
    EXPECT_EQ(board.OutputRate(), 19200u);
    peer.Send({0x07});
    board.Send({0x06});
    EXPECT_TRUE(comms.GetTimedResponse(&expected, 2));

    bool result = false;
    CancelWait(comms, [&] { result = comms.GetTimedResponse(&expected, 20); });
    EXPECT_TRUE(result);

    // Routed back with the alternate closed, the byte sent meanwhile is there.
    ASSERT_TRUE(comms.UseAlternateComms(false, true));
    EXPECT_EQ(alternate->GetStatus(), psClosed);
    expected = 0x07;
    EXPECT_TRUE(comms.GetTimedResponse(&expected, 2));
    // Opened without routing.
    ASSERT_TRUE(comms.UseAlternateComms(true, false));
    EXPECT_EQ(alternate->GetStatus(), psOpen);
    peer.Send({0x07});
    EXPECT_TRUE(comms.GetTimedResponse(&expected, 2));
    EXPECT_TRUE(host.shown.empty());

    comms.SetAlternateComms("/dev/zflash-no-board");
    EXPECT_FALSE(comms.UseAlternateComms(true, true));
    ASSERT_EQ(host.shown.size(), 2u); // the alternate's reason, then the channel's report
    EXPECT_EQ(host.shown.back().text, "Unable to open port '/dev/zflash-no-board'");
}
