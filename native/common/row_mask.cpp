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

std::vector<std::int64_t> set_positions(const std::uint8_t* mask, std::size_t rows) {
    std::vector<std::int64_t> positions;
    for (std::size_t i = 0; i < rows; ++i) {
        if (mask[i]) positions.push_back(static_cast<std::int64_t>(i));
    }
    return positions;
}

}  // namespace velmora
