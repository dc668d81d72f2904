// A whole WriteImage of 256 KiB through the programmer, with and without
// read-back verification, against the virtual target running free and paced
// to 115200 baud. Counters: data bytes moved per second, and line_use: the
// line's own time for those bytes (10 bits each at 115200) over the time
// taken, so 1.0 is the line's limit and 0.91 means 10% protocol overhead.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/HostUI.h"
#include "programmer/FLASHManager.h"
#include "sim/SimTarget.h"

namespace {

constexpr DWORD kSize = 256 * 1024;
constexpr double kLineBytesPerSecond = 11520.0;

std::string DefinitionPath()
{
    const char* src = std::getenv("ZFLASH_SOURCE_DIR");
    return std::string(src ? src : ".") + "/devices/ZT31F256.ini";
}

// Status messages go nowhere: only the time counts.
class CQuietHost : public CHostUI
{
public:
    void ShowStatus(eStatusKind kind, const CString& text, WORD) override
    {
        if (kind == skError || kind == skWarning)
            std::fprintf(stderr, "%s\n", text.GetString());
    }
};

void ProgrammerWriteVerify(benchmark::State& state)
{
    const bool bThrottle = state.range(0) != 0;
    const bool bVerify = state.range(1) != 0;
    const std::string settings = (std::filesystem::temp_directory_path() / "zflash-bench-settings.ini").string();
    std::ofstream(settings) << "[Programmer]\nReadbackVerify=" << (bVerify ? 1 : 2) << "\n";
    ::setenv("ZFLASH_SETTINGS", settings.c_str(), 1);
    CQuietHost host;
    SetHostUI(&host);

    CSimTarget target;
    CString error;
    if (!target.Load(DefinitionPath().c_str(), &error, {{"Start Mode", "BOOT Resident"}}) || !target.Start(&error)) {
        state.SkipWithError(error.GetString());
        SetHostUI(nullptr);
        return;
    }
    std::unique_ptr<CFLASHProgrammer> programmer(FLASHManager.CreateFLASHProgrammer(
        "ZT31F256", target.GetPortName(), ctGENBootDirect, ptNeverErase, mlNormal, "", 0, 0.0f, 0, 0, 0,
        DefinitionPath().c_str()));
    if (!programmer || !programmer->Connect()) {
        state.SkipWithError("no connection");
        SetHostUI(nullptr);
        return;
    }
    CFLASHBinaryImage image(static_cast<int>(kSize), nullptr);
    std::vector<BYTE> data(kSize);
    for (DWORD i = 0; i < kSize; ++i)
        data[i] = static_cast<BYTE>((i * 13 + (i >> 9)) % 0xFF);
    image.SetDataFromFile(0, kSize, data.data());
    // Modules are placed before timing, as in the kernel benchmark: a read
    // whose first chunk waits for the read module under a heavy machine load
    // can be asked for again while it is still coming, and arrives twice.
    delete programmer->ReadImage(0, nullptr, 0, 1);
    target.SetThrottle(bThrottle);

    bool bOK = true;
    for (auto _ : state) {
        state.PauseTiming();
        target.LoadFLASH(0, std::vector<BYTE>(kSize, 0xFF));
        state.ResumeTiming();
        bOK = programmer->WriteImage(&image) && bOK;
    }
    target.SetThrottle(false);
    if (!bOK || target.GetFLASH() != data)
        state.SkipWithError("write or verification failed");
    const double bytes = (bVerify ? 2.0 : 1.0) * kSize * static_cast<double>(state.iterations());
    state.counters["bytes_per_s"] = benchmark::Counter(bytes, benchmark::Counter::kIsRate);
    state.counters["line_use"] = benchmark::Counter(bytes / kLineBytesPerSecond, benchmark::Counter::kIsRate);
    programmer.reset();
    SetHostUI(nullptr);
}

} // namespace

BENCHMARK(ProgrammerWriteVerify)
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->ArgNames({"throttled", "verify"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
