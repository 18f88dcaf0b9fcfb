// The compact set behind loop and duplicate detection: membership must hold
// across the merges of recent entries into the sorted part.

#include "unfurl/addressset.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

using unfurl::AddressSet;

TEST(AddressSet, AgreesWithStdSetAcrossManyMerges) {
    AddressSet set;
    std::set<uint32_t> reference;
    std::mt19937 random(7);
    // Small range so duplicates are frequent, many merges of 4096.
    std::uniform_int_distribution<uint32_t> pick(0, 60000);
    for (int i = 0; i < 100000; ++i) {
        const uint32_t a = pick(random);
        ASSERT_EQ(set.insert(a), reference.insert(a).second) << i;
    }
    EXPECT_EQ(set.size(), reference.size());
    for (uint32_t a = 0; a <= 60001; ++a)
        ASSERT_EQ(set.contains(a), reference.count(a) == 1) << a;
    set.clear();
    EXPECT_EQ(set.size(), 0u);
    EXPECT_FALSE(set.contains(*reference.begin()));
    EXPECT_TRUE(set.insert(0xFFFFFFFF));
    EXPECT_FALSE(set.insert(0xFFFFFFFF));
}
