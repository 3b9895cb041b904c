#include "top_k.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace velmora::metrics {
namespace {

struct Offer {
    double d2;
    std::int64_t position;
};

std::vector<std::int64_t> kept_positions(const TopK& top, std::size_t k) {
    std::vector<std::int64_t> positions(k);
    for (std::size_t r = 0; r < k; ++r) positions[r] = top.position(r);
    return positions;
}

// Equal distances are ranked by position whatever the order of the offers: the dense
// kernel offers positions in ascending order, the coded one in its proximity order.
class TopKOrder : public ::testing::TestWithParam<std::vector<Offer>> {};

TEST_P(TopKOrder, RanksByDistanceThenPosition) {
    TopK top(3);
    for (const Offer& offer : GetParam()) top.offer(offer.d2, offer.position);
    EXPECT_EQ(kept_positions(top, 3), (std::vector<std::int64_t>{4, 2, 7}));
    EXPECT_EQ(top.d2(0), 1.0);
    EXPECT_EQ(top.d2(2), 2.0);
    EXPECT_EQ(top.bound(), 2.0);
}

std::string offer_order_name(const ::testing::TestParamInfo<std::vector<Offer>>& info) {
    constexpr const char* names[] = {"AscendingPositions", "DescendingPositions", "MixedPositions"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(
    OfferOrders, TopKOrder,
    ::testing::Values(std::vector<Offer>{{5.0, 0}, {2.0, 2}, {1.0, 4}, {3.0, 5}, {2.0, 7}, {2.0, 9}},
                      std::vector<Offer>{{2.0, 9}, {2.0, 7}, {3.0, 5}, {1.0, 4}, {2.0, 2}, {5.0, 0}},
                      std::vector<Offer>{{2.0, 7}, {1.0, 4}, {2.0, 9}, {5.0, 0}, {2.0, 2}, {3.0, 5}}),
    offer_order_name);

TEST(TopK, TakesEveryCandidateUntilFullInfinitiesToo) {
    const double inf = std::numeric_limits<double>::infinity();
    TopK top(2);
    EXPECT_TRUE(top.wants(inf));
    EXPECT_EQ(top.bound(), inf);
    top.offer(inf, 3);
    top.offer(inf, 1);
    EXPECT_EQ(kept_positions(top, 2), (std::vector<std::int64_t>{1, 3}));
    // Full: only a smaller distance is wanted, and a tie enters only at a lower position.
    EXPECT_FALSE(top.wants(inf));
    top.offer(inf, 0);
    EXPECT_EQ(kept_positions(top, 2), (std::vector<std::int64_t>{0, 1}));
    EXPECT_TRUE(top.wants(4.0));
}

}  // namespace
}  // namespace velmora::metrics
