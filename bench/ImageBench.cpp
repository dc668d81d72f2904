// Image model: editing writes, read-back, and many small edits taken back at once.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "image/BinaryImage.h"

namespace {
constexpr DWORD kImageBytes = 1u << 20;
constexpr DWORD kRun = 500;

std::vector<BYTE> Pattern(DWORD nLength, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<BYTE> bytes(nLength);
    for (auto& b : bytes)
        b = static_cast<BYTE>(rng() % 255); // never H'FF: one data run per write
    return bytes;
}

void WriteInRuns(CBinaryImage& image, const std::vector<BYTE>& bytes)
{
    for (DWORD at = 0; at < bytes.size(); at += kRun) {
        const DWORD n = std::min<DWORD>(kRun, static_cast<DWORD>(bytes.size()) - at);
        image.SetData(at, bytes.data() + at, n);
    }
}

void BM_EditingWrite1MiB(benchmark::State& state)
{
    const auto bytes = Pattern(kImageBytes, 1);
    DWORD memory = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto image = std::make_unique<CBinaryImage>(static_cast<int>(kImageBytes));
        state.ResumeTiming();
        WriteInRuns(*image, bytes);
        memory = image->GetCacheMemoryUsed();
        state.PauseTiming();
        image.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kImageBytes);
    state.counters["memory_used"] = memory;
}
BENCHMARK(BM_EditingWrite1MiB)->Unit(benchmark::kMillisecond);

void BM_ReadBack1MiB(benchmark::State& state)
{
    const DWORD chunk = static_cast<DWORD>(state.range(0));
    const auto bytes = Pattern(kImageBytes, 2);
    CBinaryImage image(static_cast<int>(kImageBytes));
    WriteInRuns(image, bytes);
    std::vector<BYTE> out(kImageBytes);
    for (auto _ : state) {
        for (DWORD at = 0; at < kImageBytes; at += chunk)
            image.GetData(at, out.data() + at, std::min(chunk, kImageBytes - at));
        benchmark::DoNotOptimize(out.data());
    }
    if (out != bytes)
        state.SkipWithError("read-back differs from what was written");
    state.SetBytesProcessed(std::int64_t(state.iterations()) * kImageBytes);
}
BENCHMARK(BM_ReadBack1MiB)->Arg(500)->Arg(kImageBytes)->Unit(benchmark::kMicrosecond);

// 10,000 single-byte edits at random places of a full 1 MiB image, then UndoAll.
void BM_RandomEditsThenUndoAll(benchmark::State& state)
{
    const bool bUndoOnly = state.range(0) != 0;
    const auto bytes = Pattern(kImageBytes, 3);
    std::mt19937 rng(4);
    DWORD memory = 0;
    for (auto _ : state) {
        state.PauseTiming();
        CBinaryImage image(static_cast<int>(kImageBytes));
        WriteInRuns(image, bytes);
        image.ResetUndoRedoMemory();
        if (!bUndoOnly)
            state.ResumeTiming();
        for (int i = 0; i < 10000; ++i)
            image.SetDataByte(rng() % kImageBytes, static_cast<BYTE>(rng() % 255));
        memory = image.GetCacheMemoryUsed();
        if (bUndoOnly)
            state.ResumeTiming();
        image.UndoAll();
        state.PauseTiming();
        std::vector<BYTE> out(kImageBytes);
        image.GetData(0, out.data(), kImageBytes);
        if (out != bytes)
            state.SkipWithError("UndoAll did not restore the image");
        state.ResumeTiming();
    }
    state.counters["memory_with_history"] = memory;
}
BENCHMARK(BM_RandomEditsThenUndoAll)->ArgName("undo_only")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
} // namespace
