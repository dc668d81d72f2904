// Loading and saving S-record files. The file comes from $ZFLASH_BENCH_SREC
// (bench/srec-bench.sh passes one made by srec_cat); without it a file of
// $ZFLASH_BENCH_MIB MiB (default 1) of random data is written first.
// BM_LoadRecordOrder loads $ZFLASH_BENCH_RECORDS (default 100000) gapped
// records in ascending, descending and shuffled address order.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "image/BinaryImage.h"
#include "image/BinaryImageFile.h"
#include "platform/HostUI.h"

namespace {

class CQuietHost : public CHostUI
{
public:
    // The only box a load shows is the raw-data notice: a failed parse.
    eQueryType MessageBox(const CString&, eQueryType, eMessageIcon) override
    {
        ++boxes;
        return qtOK;
    }
    int boxes = 0;
    void ShowStatus(eStatusKind, const CString&, WORD) override {}
};

// An image as the editor keeps it: runs of 8 or more H'FF split the data.
struct SImage : CBinaryImage
{
    SImage() : CBinaryImage(0)
    {
        SetBlankThreshold(8);
        SetUseThreshold(TRUE);
    }
};

const std::string& SourceFile()
{
    static const std::string path = [] {
        if (const char* given = std::getenv("ZFLASH_BENCH_SREC"))
            return std::string(given);
        const char* mib = std::getenv("ZFLASH_BENCH_MIB");
        const size_t size = size_t(mib ? std::atoi(mib) : 1) << 20;
        std::vector<BYTE> data(size);
        std::mt19937 rng(1);
        for (BYTE& b : data)
            b = static_cast<BYTE>(rng());
        SImage image;
        image.SetData(0, data.data(), static_cast<DWORD>(size));
        static std::string out = "/tmp/zflash-bench-" + std::to_string(::getpid()) + ".srec";
        image.SaveFile(out.c_str(), 0, 0xFFFFFFFF, 0);
        std::atexit([] { std::remove(out.c_str()); });
        return out;
    }();
    return path;
}

void BM_LoadSRecord(benchmark::State& state)
{
    static CQuietHost host;
    SetHostUI(&host);
    const std::string& path = SourceFile();
    for (auto _ : state) {
        SImage image;
        if (image.LoadFile(path.c_str()) != 1 || host.boxes)
            state.SkipWithError("load failed or fell back to raw data");
        benchmark::DoNotOptimize(image.GetLastAddressInCache());
    }
    SetHostUI(nullptr);
}
BENCHMARK(BM_LoadSRecord)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SaveSRecord(benchmark::State& state)
{
    static CQuietHost host;
    SetHostUI(&host);
    SImage image;
    if (image.LoadFile(SourceFile().c_str()) != 1 || !image.IsImageDataPresent())
        state.SkipWithError("nothing to save");
    const std::string out = "/tmp/zflash-bench-out-" + std::to_string(::getpid()) + ".srec";
    for (auto _ : state) {
        if (image.SaveFile(out.c_str(), 0, 0xFFFFFFFF, 1) != 1)
            state.SkipWithError("save failed");
    }
    std::remove(out.c_str());
    SetHostUI(nullptr);
}
BENCHMARK(BM_SaveSRecord)->Unit(benchmark::kMillisecond)->UseRealTime();

// 16 data bytes every 32 bytes, so that no two records join into one run.
std::string GappedRecordFile(int nOrder)
{
    const char* given = std::getenv("ZFLASH_BENCH_RECORDS");
    const DWORD nRecords = given ? static_cast<DWORD>(std::atol(given)) : 100000;
    std::vector<DWORD> order(nRecords);
    for (DWORD i = 0; i < nRecords; ++i)
        order[i] = nOrder == 1 ? nRecords - 1 - i : i;
    if (nOrder == 2)
        std::shuffle(order.begin(), order.end(), std::mt19937(7));
    const std::string path = "/tmp/zflash-bench-order-" + std::to_string(::getpid()) + "-" + std::to_string(nOrder) + ".srec";
    FILE* pFile = std::fopen(path.c_str(), "w");
    std::mt19937 rng(nOrder);
    for (DWORD i : order) {
        const DWORD nAddress = 0x10000 + i * 32;
        unsigned sum = 21;
        std::fprintf(pFile, "S315%08X", static_cast<unsigned>(nAddress));
        for (int k = 0; k < 4; ++k)
            sum += (nAddress >> (8 * k)) & 0xFF;
        for (int k = 0; k < 16; ++k) {
            // Never H'FF, so the blank threshold cannot split a record.
            const unsigned b = rng() % 255;
            sum += b;
            std::fprintf(pFile, "%02X", b);
        }
        std::fprintf(pFile, "%02X\n", ~sum & 0xFF);
    }
    std::fclose(pFile);
    return path;
}

void BM_LoadRecordOrder(benchmark::State& state)
{
    static CQuietHost host;
    SetHostUI(&host);
    const std::string path = GappedRecordFile(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        SImage image;
        if (image.LoadFile(path.c_str()) != 1 || host.boxes)
            state.SkipWithError("load failed or fell back to raw data");
        benchmark::DoNotOptimize(image.GetLastAddressInCache());
    }
    std::remove(path.c_str());
    SetHostUI(nullptr);
}
// 0 ascending, 1 descending, 2 shuffled.
BENCHMARK(BM_LoadRecordOrder)->ArgName("order")->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
