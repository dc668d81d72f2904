// Random edits, undos and redos, and the indexed block store, checked against
// plain reference models after every step. Seeds are fixed so a failure repeats.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <tuple>
#include <vector>

#include "image/ImageProbe.h"
#include "image/TieredArray.h"

using zftest::CProbeImage;
using zftest::Ranges;
using Bytes = std::vector<BYTE>;

namespace {

// Stretches of addresses (base + index) where pred(index) holds.
template <typename Pred>
Ranges Stretches(DWORD base, DWORD size, Pred pred)
{
    Ranges out;
    for (DWORD i = 0; i < size; ++i) {
        if (!pred(i))
            continue;
        if (!out.empty() && out.back().second == base + i - 1)
            out.back().second = base + i;
        else
            out.emplace_back(base + i, base + i);
    }
    return out;
}

// A plain byte array, and for each address a stack of earlier values tagged
// with the step that pushed them. A write pushes one step per run; an undo or
// redo step moves one value per address it reaches to the other side.
struct CLayerModel
{
    struct Layer
    {
        unsigned gen;
        BYTE value;
    };
    using Stacks = std::vector<std::vector<Layer>>;

    explicit CLayerModel(DWORD size) : cur(size, 0xFF), undo(size), redo(size) {}

    // bOneRun: the write was made so that the image sees it as a single run.
    void Write(DWORD off, const Bytes& bytes, bool bOneRun)
    {
        for (size_t i = 0; i < bytes.size();) {
            size_t j = i + 1;
            while (j < bytes.size() && (bOneRun || (bytes[j] == 0xFF) == (bytes[i] == 0xFF)))
                ++j;
            const unsigned gen = nextGen++;
            for (; i < j; ++i) {
                undo[off + i].push_back({gen, cur[off + i]});
                cur[off + i] = bytes[i];
            }
        }
    }
    static bool Any(const Stacks& s)
    {
        return std::any_of(s.begin(), s.end(), [](const auto& st) { return !st.empty(); });
    }
    // The newest step as a whole.
    void Newest(Stacks& from, Stacks& to)
    {
        unsigned gen = 0;
        for (const auto& s : from)
            gen = s.empty() ? gen : std::max(gen, s.back().gen);
        const unsigned newGen = nextGen++;
        for (size_t a = 0; a < cur.size() && gen; ++a)
            if (!from[a].empty() && from[a].back().gen == gen)
                Move(from, to, a, newGen);
    }
    // One value at every address of [f, t].
    bool Pass(Stacks& from, Stacks& to, DWORD f, DWORD t)
    {
        const unsigned newGen = nextGen++;
        bool bAny = false;
        for (DWORD a = f; a <= t; ++a)
            if (!from[a].empty()) {
                Move(from, to, a, newGen);
                bAny = true;
            }
        return bAny;
    }
    void Move(Stacks& from, Stacks& to, size_t a, unsigned gen)
    {
        to[a].push_back({gen, cur[a]});
        cur[a] = from[a].back().value;
        from[a].pop_back();
    }
    static void Drop(Stacks& s, DWORD f, DWORD t, bool bAll)
    {
        for (DWORD a = f; a <= t; ++a)
            if (bAll)
                s[a].clear();
            else if (!s[a].empty())
                s[a].pop_back();
    }
    static Bytes Top(const Stacks& s)
    {
        Bytes out;
        for (const auto& st : s)
            out.push_back(st.empty() ? 0xFF : st.back().value);
        return out;
    }

    Bytes cur;
    Stacks undo, redo;
    unsigned nextGen = 1;
};

// Small rings (8 slots) so that a few hundred entries cross many of them.
using Small = CTieredArray<int, 3>;

void ExpectSame(const Small& array, const std::vector<int>& model, int nStep)
{
    ASSERT_EQ(array.size(), model.size()) << "after step " << nStep;
    for (std::size_t i = 0; i < model.size(); ++i)
        ASSERT_EQ(array[i], model[i]) << "entry " << i << " after step " << nStep;
}

struct Mix
{
    const char* name;
    int insertFront, insertBack, insertAnywhere, erase, eraseRange;
};

} // namespace

// (seed, threshold): threshold 0 runs without it.
class HistoryModel : public testing::TestWithParam<std::tuple<unsigned, DWORD>>
{
};

TEST_P(HistoryModel, AgreesByteForByteAfterEveryStep)
{
    constexpr DWORD kBase = 0x7000, kSize = 160;
    const auto [seed, threshold] = GetParam();
    std::mt19937 rng(seed);
    auto below = [&](DWORD n) { return static_cast<DWORD>(rng() % n); };
    CProbeImage image(kSize);
    image.SetStartAddress(kBase);
    image.SetUseThreshold(threshold != 0);
    image.SetBlankThreshold(threshold);
    CLayerModel m(kSize);
    auto &U = m.undo, &R = m.redo;
    DWORD off = 0, len = 0, to = 0;

    auto write = [&] {
        Bytes bytes(len, 0xFF);
        DWORD blanks = 0;
        // With the threshold on, blank stretches stay short of it (or fill the
        // whole write), so that the write is one run.
        const bool bAllBlank = below(8) == 0;
        for (auto& b : bytes) {
            const bool bBlank = bAllBlank || (below(10) < 3 && (!threshold || blanks + 1 < threshold));
            b = bBlank ? 0xFF : static_cast<BYTE>(below(255));
            blanks = bBlank ? blanks + 1 : 0;
        }
        ASSERT_EQ(image.Write(kBase + off, bytes), 1);
        m.Write(off, bytes, threshold != 0);
    };
    // Weight, then what the image does and what the model does.
    const std::vector<std::tuple<int, std::function<void()>>> ops = {
        {32, write},
        {8, [&] { image.Undo(); m.Newest(U, R); }},
        {8, [&] { image.Redo(); m.Newest(R, U); }},
        {10, [&] { image.UndoRange(kBase + off, len); m.Pass(U, R, off, to); }},
        {8, [&] { image.RedoRange(kBase + off, len); m.Pass(R, U, off, to); }},
        {5, [&] { image.UndoAllRange(kBase + off, len); while (m.Pass(U, R, off, to)) {} }},
        {5, [&] { image.RedoAllRange(kBase + off, len); while (m.Pass(R, U, off, to)) {} }},
        {4, [&] { image.ClearLastUndoRange(kBase + off, len); CLayerModel::Drop(U, off, to, false); }},
        {3, [&] { image.ClearAllUndoRange(kBase + off, len); CLayerModel::Drop(U, off, to, true); }},
        {3, [&] { image.ClearLastRedoRange(kBase + off, len); CLayerModel::Drop(R, off, to, false); }},
        {2, [&] { image.ClearAllRedoRange(kBase + off, len); CLayerModel::Drop(R, off, to, true); }},
        {4, [&] { image.Undo(kBase + off); m.Pass(U, R, off, off); }},
        {3, [&] { image.Redo(kBase + off); m.Pass(R, U, off, off); }},
        {1, [&] { image.UndoAll(); while (CLayerModel::Any(U)) m.Newest(U, R); }},
        {1, [&] { image.RedoAll(); while (CLayerModel::Any(R)) m.Newest(R, U); }},
        // Ranges reaching past the window change nothing.
        {3, [&] {
             image.UndoRange(kBase + kSize - 2, 3);
             image.RedoAllRange(kBase + off + 1, kSize);
             image.ClearAllUndoRange(0xFFFFFFFF, 2);
             image.ClearLastRedoRange(kBase + off + 1, kSize);
         }},
    };
    std::vector<int> weights;
    for (const auto& op : ops)
        weights.push_back(std::get<0>(op));
    std::discrete_distribution<size_t> pick(weights.begin(), weights.end());

    Bytes layers(kSize);
    for (int step = 0; step < 1000; ++step) {
        off = below(kSize);
        len = 1 + below(std::min<DWORD>(48, kSize - off));
        to = off + len - 1;
        const size_t op = pick(rng);
        SCOPED_TRACE(testing::Message() << "step " << step << " op " << op << " at +" << off << " length " << len);
        std::get<1>(ops[op])();
        ASSERT_EQ(image.Read(kBase, kSize), m.cur);
        // The layered reads give the newest value at every address.
        image.GetData(kBase, kBase + kSize - 1, layers.data(), &image.m_UndoData);
        ASSERT_EQ(layers, CLayerModel::Top(U));
        image.GetData(kBase, kBase + kSize - 1, layers.data(), &image.m_RedoData);
        ASSERT_EQ(layers, CLayerModel::Top(R));
        ASSERT_EQ(image.UndoRanges(), Stretches(kBase, kSize, [&](DWORD i) { return !U[i].empty(); }));
        ASSERT_EQ(image.RedoRanges(), Stretches(kBase, kSize, [&](DWORD i) { return !R[i].empty(); }));
        ASSERT_EQ(image.IsImageModified() != 0, CLayerModel::Any(U) || CLayerModel::Any(R));
        if (!threshold) {
            // Without the threshold exactly the bytes other than H'FF are stored.
            const Ranges stored = Stretches(kBase, kSize, [&](DWORD i) { return m.cur[i] != 0xFF; });
            ASSERT_EQ(image.DataRanges(), stored);
            Bytes inArea(kSize, 0);
            for (const auto& [f, l] : image.Areas())
                std::fill(inArea.begin() + (f - kBase), inArea.begin() + (l - kBase) + 1, 1);
            ASSERT_EQ(Stretches(kBase, kSize, [&](DWORD i) { return inArea[i] != 0; }), stored);
        }
        image.CheckInvariants();
        if (HasFatalFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, HistoryModel,
                         testing::Combine(testing::Values(1u, 7u, 2024u), testing::Values(DWORD(0), DWORD(3))));

// Loads overwrite a random image, partly past its end; taking them back gives
// the snapshot from before, whatever was cleared from the loaded ranges.
TEST(FileLoadModel, UndoFileLoadBringsBackTheImageBeforeTheLoad)
{
    std::mt19937 rng(5);
    auto below = [&](DWORD n) { return static_cast<DWORD>(rng() % n); };
    CProbeImage image(0x400);
    image.SetUseThreshold(TRUE);
    image.SetBlankThreshold(8);
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        for (int i = 0; i < 5; ++i) {
            Bytes bytes(1 + below(64));
            for (auto& b : bytes)
                b = below(4) == 0 ? 0xFF : static_cast<BYTE>(below(256));
            image.Write(below(0x400), bytes);
        }
        image.ResetUndoRedoMemory(); // as a loader does before it starts
        const Bytes before = image.Read(0, 0x400);
        std::vector<bool> loaded(0x400);
        for (int i = 0; i < 1 + static_cast<int>(below(8)); ++i) {
            Bytes record(1 + below(500), static_cast<BYTE>(below(256)));
            const DWORD at = below(0x440), end = at + static_cast<DWORD>(record.size());
            ASSERT_EQ(image.SetDataFromFile(at, end - at, record.data()), end <= 0x400 ? 1 : 0) << "clipped";
            for (DWORD a = at; a < std::min<DWORD>(end, 0x400); ++a)
                loaded[a] = true;
        }
        const DWORD clearFrom = below(0x400), clearTo = std::min<DWORD>(clearFrom + below(64), 0x3FF);
        image.ClearFileLoadRange(clearFrom, clearTo - clearFrom + 1);
        std::fill(loaded.begin() + clearFrom, loaded.begin() + clearTo + 1, false);
        ASSERT_EQ(image.FileLoadRanges(), Stretches(0, 0x400, [&](DWORD a) { return loaded[a]; }));
        ASSERT_EQ(image.IsImageFileLoaded() != 0, !image.FileLoadRanges().empty());
        image.UndoFileLoad();
        ASSERT_EQ(image.Read(0, 0x400), before);
        ASSERT_TRUE(image.FileLoadRanges().empty());
        ASSERT_FALSE(image.IsImageFileLoaded());
        ASSERT_FALSE(image.IsImageModified());
        image.CheckInvariants();
    }
    // Uploaded data is no history: it is marked as loaded instead.
    image.SetUploadedDataFlag(true);
    image.Write(0x20, {1, 2});
    EXPECT_FALSE(image.IsImageModified());
    EXPECT_EQ(image.FileLoadRanges(), (Ranges{{0x20, 0x21}}));
}

TEST(TieredArray, AgreesWithAVectorForEveryMixOfSteps)
{
    const Mix mixes[] = {
        {"front inserts (descending load)", 1, 0, 0, 0, 0},
        {"back inserts (ascending load)", 0, 1, 0, 0, 0},
        {"anywhere", 0, 0, 1, 0, 0},
        {"inserts and erases", 1, 1, 2, 3, 0},
        {"short and long range erases", 0, 1, 3, 1, 1},
    };
    for (const Mix& mix : mixes) {
        SCOPED_TRACE(mix.name);
        Small array;
        std::vector<int> model;
        std::mt19937 rng(11);
        const int nTotal = mix.insertFront + mix.insertBack + mix.insertAnywhere + mix.erase + mix.eraseRange;
        for (int step = 0; step < 3000; ++step) {
            int pick = static_cast<int>(rng() % nTotal);
            if ((pick -= mix.insertFront) < 0 || model.empty()) {
                array.Insert(0, step);
                model.insert(model.begin(), step);
            } else if ((pick -= mix.insertBack) < 0) {
                array.Insert(model.size(), step);
                model.push_back(step);
            } else if ((pick -= mix.insertAnywhere) < 0) {
                const std::size_t at = rng() % (model.size() + 1);
                array.Insert(at, step);
                model.insert(model.begin() + static_cast<long>(at), step);
            } else if ((pick -= mix.erase) < 0) {
                const std::size_t at = rng() % model.size();
                array.Erase(at);
                model.erase(model.begin() + static_cast<long>(at));
            } else {
                // Lengths on both sides of the ring size take both ways of closing up.
                const std::size_t first = rng() % model.size();
                const std::size_t end = first + rng() % std::min<std::size_t>(model.size() - first + 1, 40);
                array.EraseRange(first, end);
                model.erase(model.begin() + static_cast<long>(first), model.begin() + static_cast<long>(end));
            }
            ExpectSame(array, model, step);
            if (HasFatalFailure())
                return;
        }
    }
}

TEST(TieredArray, EmptiedArrayGivesBackItsStorageAndStartsAgain)
{
    Small array;
    EXPECT_EQ(array.capacity(), 0u);
    for (int i = 0; i < 20; ++i)
        array.Insert(0, i);
    EXPECT_EQ(array.capacity(), 24u) << "three rings of eight";
    array.Release();
    EXPECT_EQ(array.size(), 20u) << "a release never drops entries";
    while (!array.empty())
        array.Erase(array.size() - 1);
    array.Release();
    EXPECT_EQ(array.capacity(), 0u);
    array.Insert(0, 7);
    array.Insert(0, 6);
    EXPECT_EQ(std::make_pair(array[0], array[1]), std::make_pair(6, 7));
    array.Clear();
    EXPECT_EQ(std::make_pair(array.size(), array.capacity()), std::make_pair(std::size_t(0), std::size_t(0)));
}
