#include "row_mask.hpp"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(OrInto, CountsAndAccumulates) {
    std::vector<std::uint8_t> accumulator{0, 0, 1, 0};
    const std::uint8_t mask[] = {1, 0, 0, 1};
    EXPECT_EQ(or_into(accumulator.data(), mask, 4, false), 2u);
    EXPECT_EQ(accumulator, (std::vector<std::uint8_t>{1, 0, 1, 1}));
}

TEST(OrInto, InvertRecordsTheFalseRows) {
    std::vector<std::uint8_t> accumulator(4, 0);
    const std::uint8_t mask[] = {1, 0, 0, 1};
    EXPECT_EQ(or_into(accumulator.data(), mask, 4, true), 2u);
    EXPECT_EQ(accumulator, (std::vector<std::uint8_t>{0, 1, 1, 0}));
}

TEST(OrInto, NonZeroBytesCountAsTrue) {
    std::vector<std::uint8_t> accumulator(2, 0);
    const std::uint8_t mask[] = {2, 0};
    EXPECT_EQ(or_into(accumulator.data(), mask, 2, false), 1u);
    EXPECT_EQ(accumulator, (std::vector<std::uint8_t>{1, 0}));
}

TEST(RangeLabels, AscendingForBothDirections) {
    const std::uint8_t mask[] = {1, 0, 1, 1};
    ASSERT_EQ(count_set(mask, 4), 3u);
    std::vector<std::int64_t> up(4), down(4);
    range_labels(mask, 4, 10, 3, up.data());
    range_labels(mask, 4, 4, -1, down.data());
    up.pop_back();
    down.pop_back();
    EXPECT_EQ(up, (std::vector<std::int64_t>{10, 16, 19}));
    EXPECT_EQ(down, (std::vector<std::int64_t>{1, 2, 4}));
}

TEST(SetPositions, AscendingAndEmpty) {
    const std::uint8_t mask[] = {0, 1, 1, 0, 1};
    EXPECT_EQ(set_positions(mask, 5), (std::vector<std::int64_t>{1, 2, 4}));
    EXPECT_TRUE(set_positions(mask, 1).empty());
}

}  // namespace
}  // namespace velmora
