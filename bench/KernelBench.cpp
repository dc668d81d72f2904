// Writing and reading back 64 KiB through the classic protocol over a pty,
// against the virtual target running free and paced to 115200 baud.
// Counters: bytes/s of data moved, and its ratio to the line's 11,520 bytes/s.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "comms/FLASHComms.h"
#include "device/FLASHDevice.h"
#include "devicedb/DeviceInfo.h"
#include "sim/SimTarget.h"

namespace {

constexpr DWORD kSize = 64 * 1024;
constexpr double kLineLimit = 11520.0;

std::string DefinitionPath()
{
    const char* src = std::getenv("ZFLASH_SOURCE_DIR");
    return std::string(src ? src : ".") + "/devices/ZT31F256.ini";
}

void KernelWriteRead(benchmark::State& state)
{
    const bool bThrottle = state.range(0) != 0;
    CSimTarget target;
    CString error;
    if (!target.Load(DefinitionPath().c_str(), &error, {{"Start Mode", "BOOT Resident"}}) || !target.Start(&error)) {
        state.SkipWithError(error.GetString());
        return;
    }
    CDeviceInfo info;
    info.LoadDeviceInfo(DefinitionPath().c_str());
    CFLASHComms comms;
    CFLASHDevice device("ZT31F256", &comms, true);
    if (!target.WaitForState(ssMainKernel, 5000) || !comms.Open(target.GetPortName().GetString()) ||
        !comms.Settings("115200,n,8,1")) {
        state.SkipWithError("no target");
        return;
    }
    device.SetDeviceInfo(&info);
    device.SetProtocol(0);
    device.Initialise();
    if (!device.InitialiseBOOTModeKernel()) {
        state.SkipWithError("kernel did not start");
        return;
    }
    std::vector<BYTE> data(kSize), back(kSize);
    for (DWORD i = 0; i < kSize; ++i)
        data[i] = static_cast<BYTE>(i * 13 + (i >> 9));
    // Load every module before timing; modules are not what is measured.
    bool blank = false;
    device.BlankCheck(&blank, 0, 1);
    device.ReadData(0, 1, back.data());
    target.SetThrottle(bThrottle);

    for (auto _ : state) {
        state.PauseTiming();
        target.LoadFLASH(0, std::vector<BYTE>(kSize, 0xFF));
        state.ResumeTiming();
        if (!device.WriteVerifyFLASH(0, kSize, data.data(), 0) || !device.ReadData(0, kSize, back.data())) {
            state.SkipWithError("transfer failed");
            return;
        }
    }
    if (back != data)
        state.SkipWithError("read back differs");
    const double bytes = 2.0 * kSize * static_cast<double>(state.iterations());
    state.counters["bytes_per_s"] = benchmark::Counter(bytes, benchmark::Counter::kIsRate);
    state.counters["ratio_to_115200"] = benchmark::Counter(bytes / kLineLimit, benchmark::Counter::kIsRate);
}

} // namespace

BENCHMARK(KernelWriteRead)->Arg(0)->Arg(1)->ArgNames({"throttled"})->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
