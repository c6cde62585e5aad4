#include "analysis/bands.hpp"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace tonalyx {
namespace {

TEST(ColumnBins, MapsColumnsToBinsInOrderWithinTheSpectrum) {
    struct Case {
        std::uint16_t columns;
        float log_power;
        std::vector<std::uint16_t> expected;
    };
    const Case cases[] = {
        // 0.8 x 1.25 is an exponent of exactly 1: a linear spread.
        {4, 1.25f, {0, 128, 256, 384}},
        {10, 1.4f, {0, 38, 84, 132, 183, 235, 288, 343, 398, 455}},
        // Exponent 0 makes every position 1 (0^0 included); negative ones blow up past 511.
        {3, 0.0f, {511, 511, 511}},
        {3, -1.0f, {511, 511, 511}},
        {1, 2.0f, {0}},
        {0, 1.4f, {}},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(build_column_bins(test.columns, test.log_power), test.expected)
            << test.columns << " at " << test.log_power;
    }
    for (const float log_power : {0.5f, 1.4f, 3.0f}) {
        const std::vector<std::uint16_t> bins = build_column_bins(1000, log_power);
        ASSERT_EQ(bins.size(), 1000u);
        for (std::size_t i = 1; i < bins.size(); ++i) {
            EXPECT_LE(bins[i - 1], bins[i]) << "column " << i << " at " << log_power;
            EXPECT_LE(bins[i], 511u);
        }
    }
}

} // namespace
} // namespace tonalyx
