// Random edits, undos and redos checked against plain reference models after
// every step. Seeds are fixed so a failure repeats.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "image/ImageProbe.h"

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

// Each address keeps its own stack of earlier values, tagged with the step
// that pushed them; a step takes back one value wherever it reaches.
class CLayerModel
{
public:
    struct Layer
    {
        unsigned gen;
        BYTE value;
    };
    using Stacks = std::vector<std::vector<Layer>>;

    explicit CLayerModel(DWORD size) : cur(size, 0xFF), undo(size), redo(size) {}

    // Without the threshold every stretch of H'FF or of other bytes is one step.
    void Write(DWORD off, const Bytes& bytes)
    {
        for (size_t i = 0; i < bytes.size();) {
            size_t j = i + 1;
            while (j < bytes.size() && (bytes[j] == 0xFF) == (bytes[i] == 0xFF))
                ++j;
            const unsigned gen = m_nextGen++;
            for (size_t k = i; k < j; ++k) {
                undo[off + k].push_back({gen, cur[off + k]});
                cur[off + k] = bytes[k];
            }
            i = j;
        }
    }
    void Newest(Stacks& from, Stacks& to)
    {
        unsigned gen = 0;
        for (const auto& s : from)
            if (!s.empty())
                gen = std::max(gen, s.back().gen);
        if (!gen)
            return;
        const unsigned newGen = m_nextGen++;
        for (size_t a = 0; a < cur.size(); ++a)
            if (!from[a].empty() && from[a].back().gen == gen)
                Move(from, to, a, newGen);
    }
    bool Pass(Stacks& from, Stacks& to, DWORD f, DWORD t)
    {
        bool bAny = false;
        const unsigned newGen = m_nextGen++;
        for (DWORD a = f; a <= t; ++a)
            if (!from[a].empty()) {
                Move(from, to, a, newGen);
                bAny = true;
            }
        return bAny;
    }
    void AllInRange(Stacks& from, Stacks& to, DWORD f, DWORD t)
    {
        while (Pass(from, to, f, t)) {
        }
    }
    void All(Stacks& from, Stacks& to)
    {
        while (std::any_of(from.begin(), from.end(), [](const auto& s) { return !s.empty(); }))
            Newest(from, to);
    }
    static void Drop(Stacks& s, DWORD f, DWORD t, bool bAll)
    {
        for (DWORD a = f; a <= t; ++a) {
            if (bAll)
                s[a].clear();
            else if (!s[a].empty())
                s[a].pop_back();
        }
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

private:
    void Move(Stacks& from, Stacks& to, size_t a, unsigned gen)
    {
        to[a].push_back({gen, cur[a]});
        cur[a] = from[a].back().value;
        from[a].pop_back();
    }
    unsigned m_nextGen = 1;
};

void CheckAgainst(CProbeImage& image, CLayerModel& model, DWORD base, int step, DWORD op, DWORD off, DWORD len)
{
    SCOPED_TRACE(testing::Message() << "step " << step << " op " << op << " at +" << off << " length " << len);
    const DWORD size = static_cast<DWORD>(model.cur.size());
    ASSERT_EQ(image.Read(base, size), model.cur);
    Bytes layers(size);
    image.GetData(base, base + size - 1, layers.data(), &image.m_UndoData);
    ASSERT_EQ(layers, CLayerModel::Top(model.undo));
    image.GetData(base, base + size - 1, layers.data(), &image.m_RedoData);
    ASSERT_EQ(layers, CLayerModel::Top(model.redo));
    ASSERT_EQ(image.UndoRanges(), Stretches(base, size, [&](DWORD i) { return !model.undo[i].empty(); }));
    ASSERT_EQ(image.RedoRanges(), Stretches(base, size, [&](DWORD i) { return !model.redo[i].empty(); }));
    const Ranges stored = Stretches(base, size, [&](DWORD i) { return model.cur[i] != 0xFF; });
    ASSERT_EQ(image.DataRanges(), stored);
    Bytes inArea(size, 0);
    for (const auto& [f, l] : image.Areas())
        for (DWORD a = f; a <= l; ++a)
            inArea[a - base] = 1;
    ASSERT_EQ(Stretches(base, size, [&](DWORD i) { return inArea[i] != 0; }), stored);
    const bool bHistory = std::any_of(model.undo.begin(), model.undo.end(), [](auto& s) { return !s.empty(); })
        || std::any_of(model.redo.begin(), model.redo.end(), [](auto& s) { return !s.empty(); });
    ASSERT_EQ(image.IsImageModified() != 0, bHistory);
    image.CheckInvariants();
}

} // namespace

class LayeredHistoryModel : public testing::TestWithParam<unsigned>
{
};

TEST_P(LayeredHistoryModel, AgreesByteForByteAfterEveryStep)
{
    constexpr DWORD kBase = 0x7000, kSize = 160;
    std::mt19937 rng(GetParam());
    auto below = [&](DWORD n) { return static_cast<DWORD>(rng() % n); };
    CProbeImage image(kSize);
    image.SetStartAddress(kBase);
    CLayerModel model(kSize);
    auto& U = model.undo;
    auto& R = model.redo;

    for (int step = 0; step < 1500; ++step) {
        const DWORD off = below(kSize);
        const DWORD len = 1 + below(std::min<DWORD>(48, kSize - off));
        const DWORD to = off + len - 1;
        const DWORD op = below(100);
        if (op < 32) {
            Bytes bytes(len);
            for (auto& b : bytes)
                b = below(10) < 3 ? 0xFF : static_cast<BYTE>(below(255));
            ASSERT_EQ(image.Write(kBase + off, bytes), 1);
            model.Write(off, bytes);
        } else if (op < 40) {
            image.Undo();
            model.Newest(U, R);
        } else if (op < 48) {
            image.Redo();
            model.Newest(R, U);
        } else if (op < 58) {
            image.UndoRange(kBase + off, len);
            model.Pass(U, R, off, to);
        } else if (op < 66) {
            image.RedoRange(kBase + off, len);
            model.Pass(R, U, off, to);
        } else if (op < 71) {
            image.UndoAllRange(kBase + off, len);
            model.AllInRange(U, R, off, to);
        } else if (op < 76) {
            image.RedoAllRange(kBase + off, len);
            model.AllInRange(R, U, off, to);
        } else if (op < 80) {
            image.ClearLastUndoRange(kBase + off, len);
            CLayerModel::Drop(U, off, to, false);
        } else if (op < 83) {
            image.ClearAllUndoRange(kBase + off, len);
            CLayerModel::Drop(U, off, to, true);
        } else if (op < 86) {
            image.ClearLastRedoRange(kBase + off, len);
            CLayerModel::Drop(R, off, to, false);
        } else if (op < 88) {
            image.ClearAllRedoRange(kBase + off, len);
            CLayerModel::Drop(R, off, to, true);
        } else if (op < 92) {
            image.Undo(kBase + off);
            model.Pass(U, R, off, off);
        } else if (op < 95) {
            image.Redo(kBase + off);
            model.Pass(R, U, off, off);
        } else if (op < 96) {
            image.UndoAll();
            model.All(U, R);
        } else if (op < 97) {
            image.RedoAll();
            model.All(R, U);
        } else {
            // Ranges reaching past the window change nothing.
            image.UndoRange(kBase + kSize - 2, 3);
            image.RedoAllRange(kBase + off + 1, kSize);
            image.ClearAllUndoRange(0xFFFFFFFF, 2);
        }
        CheckAgainst(image, model, kBase, step, op, off, len);
        if (HasFatalFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, LayeredHistoryModel, testing::Values(1u, 7u, 42u, 2024u, 31337u));

// Whole-image snapshots: each write is made to be a single step even with
// the threshold on, and a new write discards what could be redone.
TEST(SnapshotHistoryModel, UndoAndRedoRestoreWholeSnapshots)
{
    constexpr DWORD kSize = 128, kThreshold = 3;
    for (unsigned seed : {3u, 99u, 123456u}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        std::mt19937 rng(seed);
        auto below = [&](DWORD n) { return static_cast<DWORD>(rng() % n); };
        CProbeImage image(kSize);
        image.SetUseThreshold(TRUE);
        image.SetBlankThreshold(kThreshold);
        Bytes cur(kSize, 0xFF);
        std::vector<Bytes> undo, redo;

        for (int step = 0; step < 1500; ++step) {
            const DWORD op = below(100);
            if (op < 50) {
                const DWORD off = below(kSize);
                Bytes bytes(1 + below(std::min<DWORD>(24, kSize - off)), 0xFF);
                if (below(7) != 0) {
                    DWORD blanks = 0;
                    for (auto& b : bytes) {
                        const bool bBlank = below(3) == 0 && blanks + 1 < kThreshold;
                        b = bBlank ? 0xFF : static_cast<BYTE>(below(255));
                        blanks = bBlank ? blanks + 1 : 0;
                    }
                }
                if (!redo.empty()) {
                    image.ClearAllRedoRange(0, kSize);
                    redo.clear();
                }
                undo.push_back(cur);
                std::copy(bytes.begin(), bytes.end(), cur.begin() + off);
                ASSERT_EQ(image.Write(off, bytes), 1);
            } else if (op < 72) {
                image.Undo();
                if (!undo.empty()) {
                    redo.push_back(cur);
                    cur = undo.back();
                    undo.pop_back();
                }
            } else if (op < 94) {
                image.Redo();
                if (!redo.empty()) {
                    undo.push_back(cur);
                    cur = redo.back();
                    redo.pop_back();
                }
            } else if (op < 97) {
                image.UndoAll();
                for (; !undo.empty(); undo.pop_back()) {
                    redo.push_back(cur);
                    cur = undo.back();
                }
            } else {
                image.RedoAll();
                for (; !redo.empty(); redo.pop_back()) {
                    undo.push_back(cur);
                    cur = redo.back();
                }
            }
            ASSERT_EQ(image.Read(0, kSize), cur) << "step " << step;
            ASSERT_EQ(image.IsImageModified() != 0, !undo.empty() || !redo.empty());
        }
        image.CheckInvariants();
    }
}

TEST(SnapshotHistoryModel, UndoFileLoadBringsBackTheImageBeforeTheLoad)
{
    std::mt19937 rng(5);
    auto below = [&](DWORD n) { return static_cast<DWORD>(rng() % n); };
    CProbeImage image(0x400);
    image.SetUseThreshold(TRUE);
    image.SetBlankThreshold(8);
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 5; ++i) {
            Bytes bytes(1 + below(64));
            for (auto& b : bytes)
                b = below(4) == 0 ? 0xFF : static_cast<BYTE>(below(256));
            image.Write(below(0x400), bytes);
        }
        image.ResetUndoRedoMemory();
        const Bytes before = image.Read(0, 0x400);
        const Ranges loadedBefore = image.FileLoadRanges();
        for (int i = 0; i < 1 + static_cast<int>(below(8)); ++i) {
            Bytes record(1 + below(500), static_cast<BYTE>(below(256)));
            image.SetDataFromFile(below(0x440), static_cast<DWORD>(record.size()), record.data());
        }
        image.UndoFileLoad();
        ASSERT_EQ(image.Read(0, 0x400), before) << "round " << round;
        ASSERT_EQ(image.FileLoadRanges(), loadedBefore);
        ASSERT_FALSE(image.IsImageModified());
        image.CheckInvariants();
    }
}
