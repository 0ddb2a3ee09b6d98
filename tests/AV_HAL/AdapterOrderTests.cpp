#include "AV_HAL/Direct3D11/GraphicsDevice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Zarvo::HAL::Direct3D11;

namespace {

AdapterInfo Entry(const wchar_t* name, SIZE_T memoryMiB, int level = D3D_FEATURE_LEVEL_11_1) {
    AdapterInfo info;
    info.featureLevel = static_cast<D3D_FEATURE_LEVEL>(level);
    info.description.DedicatedVideoMemory = memoryMiB << 20;
    wcsncpy(info.description.Description, name, 127);
    return info;
}

} // namespace

TEST(AdapterOrder, HigherFeatureLevelThenMoreMemoryFirstAndTheEarlierOneOnATie) {
    struct Case {
        const char* what;
        std::vector<AdapterInfo> inserted;
        const wchar_t* chosen;
    };
    const Case cases[] = {
        {"level beats memory",
         {Entry(L"big 11_1", 8192), Entry(L"small 12_0", 64, D3D_FEATURE_LEVEL_12_0)},
         L"small 12_0"},
        {"a failed probe (level 0) never wins",
         {Entry(L"failed", 8192, 0), Entry(L"working", 64)},
         L"working"},
        {"more memory on the same level",
         {Entry(L"integrated", 128), Entry(L"discrete", 4096), Entry(L"none", 0)},
         L"discrete"},
        {"tie: the earlier one", {Entry(L"first twin", 4096), Entry(L"second twin", 4096)}, L"first twin"},
        {"tie, reversed", {Entry(L"second twin", 4096), Entry(L"first twin", 4096)}, L"second twin"},
    };
    for (const auto& c : cases) {
        AdapterSet set;
        for (const auto& entry : c.inserted)
            set.insert(entry);
        EXPECT_EQ(std::wstring(set.begin()->description.Description), c.chosen) << c.what;
    }

    // A strict weak order on every pair, or the set's choice is undefined.
    const AdapterInfo entries[] = {Entry(L"a", 0, 0), Entry(L"b", 64), Entry(L"c", 64),
                                   Entry(L"d", 1, D3D_FEATURE_LEVEL_12_0)};
    AdapterOrder less;
    for (const auto& a : entries) {
        EXPECT_FALSE(less(a, a));
        for (const auto& b : entries)
            EXPECT_FALSE(less(a, b) && less(b, a));
    }
}
