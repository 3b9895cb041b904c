// The running list of a query's k nearest rows, shared by the dense and the coded
// nearest-neighbour kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace velmora::metrics {

// The k smallest (squared distance, position) pairs offered so far, ascending in that
// order whatever the order of the offers: equal distances are ranked by position, as a
// stable sort of the reference rows in their original order ranks them. Until k pairs
// are kept every candidate is taken, infinities too.
class TopK {
public:
    explicit TopK(std::size_t k) : d2_(k, std::numeric_limits<double>::infinity()), position_(k, -1) {}

    // Whether a candidate at this squared distance can enter: fewer than k are kept, or
    // it is below the k-th. A cheap test before offer() for callers that offer positions
    // in ascending order, for whom a candidate equal to the k-th never enters.
    bool wants(double candidate) const { return filled_ < d2_.size() || candidate < d2_.back(); }

    // A squared distance above this cannot enter: the k-th smallest so far, or infinity
    // while fewer than k are kept.
    double bound() const { return filled_ < d2_.size() ? std::numeric_limits<double>::infinity() : d2_.back(); }

    void offer(double candidate, std::int64_t at) {
        const std::size_t k = d2_.size();
        if (filled_ == k && !before(candidate, at, k - 1)) return;
        std::size_t slot = filled_ < k ? filled_++ : k - 1;
        while (slot > 0 && before(candidate, at, slot - 1)) {
            d2_[slot] = d2_[slot - 1];
            position_[slot] = position_[slot - 1];
            --slot;
        }
        d2_[slot] = candidate;
        position_[slot] = at;
    }

    double d2(std::size_t rank) const { return d2_[rank]; }
    std::int64_t position(std::size_t rank) const { return position_[rank]; }

private:
    bool before(double candidate, std::int64_t at, std::size_t slot) const {
        return candidate < d2_[slot] || (candidate == d2_[slot] && at < position_[slot]);
    }

    std::vector<double> d2_;
    std::vector<std::int64_t> position_;
    std::size_t filled_ = 0;
};

}  // namespace velmora::metrics
