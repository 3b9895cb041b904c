#include "ranks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace velmora::metrics {

std::size_t finite_argsort(const double* values, std::size_t n, std::int64_t* order) {
    // A least-significant-digit radix sort of the values' bit patterns, turned into
    // unsigned keys of the same order (negative values flip every bit, the others only
    // the sign bit), 11 bits per pass; passes whose digit is the same for every key are
    // skipped. Each pass is stable, so equal keys keep their original order.
    struct Item {
        std::uint64_t key;
        std::int64_t position;
    };
    std::vector<Item> items;
    items.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double value = values[i] == 0.0 ? 0.0 : values[i];
        if (!std::isfinite(value)) continue;
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof(bits));
        const std::uint64_t key = (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
        items.push_back({key, static_cast<std::int64_t>(i)});
    }
    const std::size_t finite = items.size();
    std::vector<Item> scratch(finite);
    constexpr unsigned digit_bits = 11;
    constexpr std::size_t buckets = std::size_t{1} << digit_bits;
    std::vector<std::size_t> count(buckets);
    for (unsigned shift = 0; shift < 64; shift += digit_bits) {
        std::fill(count.begin(), count.end(), 0);
        for (const Item& item : items) ++count[(item.key >> shift) & (buckets - 1)];
        if (finite == 0 || count[(items[0].key >> shift) & (buckets - 1)] == finite) continue;
        std::size_t offset = 0;
        for (std::size_t& c : count) {
            const std::size_t size = c;
            c = offset;
            offset += size;
        }
        for (const Item& item : items) scratch[count[(item.key >> shift) & (buckets - 1)]++] = item;
        items.swap(scratch);
    }
    for (std::size_t i = 0; i < finite; ++i) order[i] = items[i].position;
    std::size_t tail = finite;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(values[i])) order[tail++] = static_cast<std::int64_t>(i);
    }
    return finite;
}

void average_ranks(const double* values, const std::int64_t* order, std::size_t n_ordered, const std::uint8_t* keep,
                   double* ranks) {
    std::vector<std::size_t> kept;
    kept.reserve(n_ordered);
    for (std::size_t i = 0; i < n_ordered; ++i) {
        const auto position = static_cast<std::size_t>(order[i]);
        if (keep == nullptr || keep[position] != 0) kept.push_back(position);
    }
    std::size_t start = 0;
    while (start < kept.size()) {
        std::size_t end = start + 1;
        while (end < kept.size() && values[kept[end]] == values[kept[start]]) ++end;
        // Ranks start + 1 .. end share their mean, (start + 1 + end) / 2.
        const double rank = static_cast<double>(start) + static_cast<double>(end - start + 1) / 2.0;
        for (std::size_t i = start; i < end; ++i) ranks[kept[i]] = rank;
        start = end;
    }
}

}  // namespace velmora::metrics
