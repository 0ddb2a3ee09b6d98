#include "AV_HAL/Direct3D11/GraphicsDevice.h"

#include <gtest/gtest.h>

#include <string>

using namespace Zarvo::HAL::Direct3D11;

namespace {

AdapterInfo Entry(const wchar_t* name, SIZE_T memory, int level = D3D_FEATURE_LEVEL_11_1) {
    AdapterInfo info;
    info.featureLevel = static_cast<D3D_FEATURE_LEVEL>(level);
    info.description.DedicatedVideoMemory = memory;
    wcsncpy(info.description.Description, name, 127);
    return info;
}

std::wstring First(const AdapterSet& set) {
    return set.begin()->description.Description;
}

} // namespace

TEST(AdapterOrder, MoreDedicatedMemoryFirstAndTheEarlierOneOnATie) {
    AdapterSet set;
    set.insert(Entry(L"integrated", 128ull << 20));
    set.insert(Entry(L"discrete", 4096ull << 20));
    set.insert(Entry(L"twin of discrete", 4096ull << 20));
    set.insert(Entry(L"tiny", 0));
    EXPECT_EQ(First(set), L"discrete");
    // The tie is equivalent, so the later one was never inserted.
    EXPECT_EQ(set.size(), 3u);

    AdapterSet reversed;
    reversed.insert(Entry(L"twin of discrete", 4096ull << 20));
    reversed.insert(Entry(L"discrete", 4096ull << 20));
    EXPECT_EQ(First(reversed), L"twin of discrete");
}

TEST(AdapterOrder, FailedProbeNeverBeatsAWorkingOneAndTheOrderIsStrict) {
    const AdapterInfo failed = Entry(L"failed probe", 8192ull << 20, 0);
    const AdapterInfo working = Entry(L"working", 64ull << 20);
    AdapterSet set{failed, working};
    EXPECT_EQ(First(set), L"working");
    EXPECT_EQ(set.size(), 2u);

    // Irreflexive and asymmetric on every pair, so the set's order is well defined.
    const AdapterInfo entries[] = {failed, working, Entry(L"a", 1, D3D_FEATURE_LEVEL_12_0), Entry(L"b", 2)};
    AdapterOrder less;
    for (const auto& a : entries) {
        EXPECT_FALSE(less(a, a));
        for (const auto& b : entries)
            EXPECT_FALSE(less(a, b) && less(b, a));
    }
}
