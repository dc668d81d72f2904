// The image's indexed block store against a plain vector doing the same steps.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "image/TieredArray.h"

namespace {

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
    EXPECT_EQ(array[0], 6);
    EXPECT_EQ(array[1], 7);
    array.Clear();
    EXPECT_EQ(array.size(), 0u);
    EXPECT_EQ(array.capacity(), 0u);
}
