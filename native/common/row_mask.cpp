#include "row_mask.hpp"

namespace velmora {

std::size_t or_into(std::uint8_t* accumulator, const std::uint8_t* mask, std::size_t rows, bool invert) {
    const std::uint8_t flip = invert ? 1 : 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint8_t bit = static_cast<std::uint8_t>((mask[i] != 0) ^ flip);
        accumulator[i] |= bit;
        count += bit;
    }
    return count;
}

std::size_t count_set(const std::uint8_t* mask, std::size_t rows) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < rows; ++i) count += mask[i] != 0;
    return count;
}

void range_labels(const std::uint8_t* mask, std::size_t rows, std::int64_t start, std::int64_t step,
                  std::int64_t* out) {
    std::size_t written = 0;
    if (step >= 0) {
        for (std::size_t i = 0; i < rows; ++i) {
            out[written] = start + step * static_cast<std::int64_t>(i);
            written += mask[i] != 0;
        }
    } else {
        for (std::size_t i = rows; i-- > 0;) {
            out[written] = start + step * static_cast<std::int64_t>(i);
            written += mask[i] != 0;
        }
    }
}

std::vector<std::int64_t> set_positions(const std::uint8_t* mask, std::size_t rows) {
    std::vector<std::int64_t> positions;
    for (std::size_t i = 0; i < rows; ++i) {
        if (mask[i]) positions.push_back(static_cast<std::int64_t>(i));
    }
    return positions;
}

}  // namespace velmora
