// Text columns stored by pyarrow, read in place: one chunk of an Arrow string or
// large_string array is a validity bitmap (absent when nothing is missing), one offset
// per row plus one, and the UTF-8 bytes of every row back to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velmora::rulewarden {

struct ArrowTextChunk {
    const std::uint8_t* validity = nullptr;  // bit (offset + i) set: row i holds text
    const void* offsets = nullptr;           // int32 (string) or int64 (large_string)
    bool large = false;
    const char* data = nullptr;
    std::int64_t offset = 0;  // the chunk's first row within its buffers (a slice)
    std::int64_t length = 0;
};

namespace detail {

template <typename Offset, bool with_validity>
void compare_rows(const ArrowTextChunk& chunk, std::string_view literal, std::uint8_t when_equal, std::uint8_t* out) {
    const std::uint8_t otherwise = static_cast<std::uint8_t>(1 - when_equal);
    const auto* offsets = static_cast<const Offset*>(chunk.offsets);
    const std::size_t size = literal.size();
    const char* text = literal.data();
    for (std::int64_t i = 0; i < chunk.length; ++i) {
        const std::int64_t row = chunk.offset + i;
        bool equal = false;
        if (!with_validity || ((chunk.validity[row >> 3] >> (row & 7)) & 1) != 0) {
            const Offset start = offsets[row];
            // Lengths first, then the first byte, then the rest: most rows differ early.
            equal = static_cast<std::size_t>(offsets[row + 1] - start) == size &&
                    (size == 0 || (chunk.data[start] == text[0] && std::memcmp(chunk.data + start, text, size) == 0));
        }
        out[i] = equal ? when_equal : otherwise;
    }
}

}  // namespace detail

// Writes `when_equal` for each row of the chunk whose text equals `literal` and the
// complement for other text and for missing rows, from `out` on.
inline void compare_arrow_text(const ArrowTextChunk& chunk, std::string_view literal, std::uint8_t when_equal,
                               std::uint8_t* out) {
    if (chunk.large) {
        if (chunk.validity != nullptr)
            detail::compare_rows<std::int64_t, true>(chunk, literal, when_equal, out);
        else
            detail::compare_rows<std::int64_t, false>(chunk, literal, when_equal, out);
    } else if (chunk.validity != nullptr) {
        detail::compare_rows<std::int32_t, true>(chunk, literal, when_equal, out);
    } else {
        detail::compare_rows<std::int32_t, false>(chunk, literal, when_equal, out);
    }
}

}  // namespace velmora::rulewarden
