// What one turn of the line costs this machine before any protocol runs.
// PtyRoundTrip: a byte written to a pseudo-terminal, taken by a thread blocked
// in poll on the other end, and written back: two wake-ups and two hand-overs,
// the least a request and its answer cost between the tool and the virtual
// target; back to back, and after both sides were quiet for a while.
// SleepLateness: how late a sleep to an absolute instant wakes (the paced
// virtual target hands each byte over at such an instant).
// bench/line-floor.sh counts each job's turns and prints the floor with them.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace {

bool WaitAndRead(int fd, unsigned char* pByte)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 1000) == 1 && ::read(fd, pByte, 1) == 1;
}

void PtyRoundTrip(benchmark::State& state)
{
    int master = -1;
    int slave = -1;
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        unsigned char b = 0;
        while (!stop.load()) {
            if (WaitAndRead(slave, &b) && ::write(slave, &b, 1) != 1)
                break;
        }
    });
    unsigned char b = 0x55;
    for (auto _ : state) {
        if (state.range(0) > 0) {
            // Both sides idle as long as a byte takes at a slow rate, as in a
            // boot program's echo, so the processor may sleep deeper.
            state.PauseTiming();
            std::this_thread::sleep_for(std::chrono::microseconds(state.range(0)));
            state.ResumeTiming();
        }
        if (::write(master, &b, 1) != 1 || !WaitAndRead(master, &b)) {
            state.SkipWithError("the echo did not come back");
            break;
        }
    }
    stop = true;
    ::write(master, &b, 1); // wakes the echo thread so it sees the stop
    echo.join();
    ::close(master);
    ::close(slave);
    state.counters["turn"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 2, benchmark::Counter::kIsRate |
                                                                           benchmark::Counter::kInvert);
}
// Back to back, and after 1 ms of quiet (a byte's time at 9600 bit/s).
BENCHMARK(PtyRoundTrip)->Arg(0)->Arg(1000)->UseRealTime()->Unit(benchmark::kMicrosecond);

std::int64_t Nanoseconds(const timespec& t)
{
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void SleepLateness(benchmark::State& state)
{
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // as the virtual target's line does
    std::int64_t late = 0;
    for (auto _ : state) {
        timespec t{};
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        const std::int64_t due = Nanoseconds(t) + state.range(0) * 1000;
        const timespec at{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) != 0) {
        }
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        late += Nanoseconds(t) - due;
    }
    state.counters["late_us"] = static_cast<double>(late) / 1000.0 / static_cast<double>(state.iterations());
}
// 87 us is a byte at 115200 bit/s, 1042 us one at 9600.
BENCHMARK(SleepLateness)->Arg(87)->Arg(1042)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
