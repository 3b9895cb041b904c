#include "blake3.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace velmora::digest {
namespace {

constexpr std::uint32_t iv[8] = {0x6A09E667u, 0xBB67AE85u, 0x3C6EF372u, 0xA54FF53Au,
                                 0x510E527Fu, 0x9B05688Cu, 0x1F83D9ABu, 0x5BE0CD19u};

constexpr std::size_t block_bytes = 64;
constexpr std::size_t chunk_bytes = 1024;
constexpr std::size_t blocks_per_chunk = chunk_bytes / block_bytes;

enum Flags : std::uint32_t { chunk_start = 1, chunk_end = 2, parent = 4, root = 8 };

// The message words each of the seven rounds reads, in order: the identity, then each
// round's order permuted once more by BLAKE3's message permutation.
struct Schedule {
    std::uint8_t words[7][16];
    constexpr Schedule() : words() {
        constexpr std::uint8_t permutation[16] = {2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8};
        for (std::uint8_t i = 0; i < 16; ++i) words[0][i] = i;
        for (int r = 1; r < 7; ++r) {
            for (int i = 0; i < 16; ++i) words[r][i] = words[r - 1][permutation[i]];
        }
    }
};
constexpr Schedule schedule;

inline std::uint32_t load32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline std::uint32_t rotate_right(std::uint32_t x, int r) {
    return (x >> r) | (x << (32 - r));
}

// The 16 words of the compression of one block; the first 8 are the new chaining value,
// all 16 (with the chaining value folded in) the root's output.
void compress(const std::uint32_t cv[8], const std::uint8_t block[block_bytes], std::uint64_t counter,
              std::uint32_t length, std::uint32_t flags, std::uint32_t out[16]) {
    std::uint32_t m[16];
    for (std::size_t i = 0; i < 16; ++i) m[i] = load32(block + 4 * i);
    std::uint32_t v[16] = {cv[0],
                           cv[1],
                           cv[2],
                           cv[3],
                           cv[4],
                           cv[5],
                           cv[6],
                           cv[7],
                           iv[0],
                           iv[1],
                           iv[2],
                           iv[3],
                           static_cast<std::uint32_t>(counter),
                           static_cast<std::uint32_t>(counter >> 32),
                           length,
                           flags};
    auto mix = [&v](int a, int b, int c, int d, std::uint32_t x, std::uint32_t y) {
        v[a] = v[a] + v[b] + x;
        v[d] = rotate_right(v[d] ^ v[a], 16);
        v[c] = v[c] + v[d];
        v[b] = rotate_right(v[b] ^ v[c], 12);
        v[a] = v[a] + v[b] + y;
        v[d] = rotate_right(v[d] ^ v[a], 8);
        v[c] = v[c] + v[d];
        v[b] = rotate_right(v[b] ^ v[c], 7);
    };
    for (const auto& s : schedule.words) {
        mix(0, 4, 8, 12, m[s[0]], m[s[1]]);
        mix(1, 5, 9, 13, m[s[2]], m[s[3]]);
        mix(2, 6, 10, 14, m[s[4]], m[s[5]]);
        mix(3, 7, 11, 15, m[s[6]], m[s[7]]);
        mix(0, 5, 10, 15, m[s[8]], m[s[9]]);
        mix(1, 6, 11, 12, m[s[10]], m[s[11]]);
        mix(2, 7, 8, 13, m[s[12]], m[s[13]]);
        mix(3, 4, 9, 14, m[s[14]], m[s[15]]);
    }
    for (int i = 0; i < 8; ++i) {
        out[i] = v[i] ^ v[i + 8];
        out[i + 8] = v[i + 8] ^ cv[i];
    }
}

using Words8 = std::uint32_t __attribute__((vector_size(32)));

// The chaining values of eight whole chunks (chunks `first_chunk` + 0..7 of the input),
// compressed side by side, one chunk per vector lane.
__attribute__((target_clones("avx2", "default"))) void eight_chunks(const std::uint8_t* const inputs[8],
                                                                    std::uint64_t first_chunk, ChainingValue out[8]) {
    Words8 h[8];
    for (int i = 0; i < 8; ++i) h[i] = Words8{} + iv[i];
    Words8 counter_low{};
    Words8 counter_high{};
    for (int lane = 0; lane < 8; ++lane) {
        const std::uint64_t counter = first_chunk + static_cast<std::uint64_t>(lane);
        counter_low[lane] = static_cast<std::uint32_t>(counter);
        counter_high[lane] = static_cast<std::uint32_t>(counter >> 32);
    }
    for (std::size_t b = 0; b < blocks_per_chunk; ++b) {
        Words8 m[16];
        for (int w = 0; w < 16; ++w) {
            for (int lane = 0; lane < 8; ++lane) {
                m[w][lane] = load32(inputs[lane] + b * block_bytes + 4 * static_cast<std::size_t>(w));
            }
        }
        const std::uint32_t flags =
            (b == 0 ? chunk_start : 0u) | (b + 1 == blocks_per_chunk ? static_cast<std::uint32_t>(chunk_end) : 0u);
        Words8 v[16] = {h[0],
                        h[1],
                        h[2],
                        h[3],
                        h[4],
                        h[5],
                        h[6],
                        h[7],
                        Words8{} + iv[0],
                        Words8{} + iv[1],
                        Words8{} + iv[2],
                        Words8{} + iv[3],
                        counter_low,
                        counter_high,
                        Words8{} + static_cast<std::uint32_t>(block_bytes),
                        Words8{} + flags};
        auto mix = [&v, &m](int a, int b, int c, int d, int x, int y) __attribute__((always_inline)) {
            v[a] = v[a] + v[b] + m[x];
            v[d] = v[d] ^ v[a];
            v[d] = (v[d] >> 16) | (v[d] << 16);
            v[c] = v[c] + v[d];
            v[b] = v[b] ^ v[c];
            v[b] = (v[b] >> 12) | (v[b] << 20);
            v[a] = v[a] + v[b] + m[y];
            v[d] = v[d] ^ v[a];
            v[d] = (v[d] >> 8) | (v[d] << 24);
            v[c] = v[c] + v[d];
            v[b] = v[b] ^ v[c];
            v[b] = (v[b] >> 7) | (v[b] << 25);
        };
        for (const auto& s : schedule.words) {
            mix(0, 4, 8, 12, s[0], s[1]);
            mix(1, 5, 9, 13, s[2], s[3]);
            mix(2, 6, 10, 14, s[4], s[5]);
            mix(3, 7, 11, 15, s[6], s[7]);
            mix(0, 5, 10, 15, s[8], s[9]);
            mix(1, 6, 11, 12, s[10], s[11]);
            mix(2, 7, 8, 13, s[12], s[13]);
            mix(3, 4, 9, 14, s[14], s[15]);
        }
        for (int i = 0; i < 8; ++i) h[i] = v[i] ^ v[i + 8];
    }
    for (int lane = 0; lane < 8; ++lane) {
        for (int i = 0; i < 8; ++i) out[lane][static_cast<std::size_t>(i)] = h[i][lane];
    }
}

// The chaining value of one chunk of 1 to 1024 bytes, or (with `flags` holding root)
// the first 8 output words of an input of at most one chunk.
ChainingValue one_chunk(const std::uint8_t* data, std::size_t n, std::uint64_t chunk, std::uint32_t extra_flags) {
    std::uint32_t cv[8];
    std::memcpy(cv, iv, sizeof(cv));
    const std::size_t blocks = std::max<std::size_t>(1, (n + block_bytes - 1) / block_bytes);
    std::uint32_t out[16];
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint8_t block[block_bytes] = {};
        const std::size_t first = b * block_bytes;
        const std::size_t length = std::min(block_bytes, n - std::min(n, first));
        if (length > 0) std::memcpy(block, data + first, length);
        std::uint32_t flags = b == 0 ? chunk_start : 0u;
        if (b + 1 == blocks) flags |= chunk_end | extra_flags;
        compress(cv, block, chunk, static_cast<std::uint32_t>(length), flags, out);
        std::memcpy(cv, out, sizeof(cv));
    }
    ChainingValue value;
    std::memcpy(value.data(), cv, sizeof(cv));
    return value;
}

ChainingValue parent_of(const ChainingValue& left, const ChainingValue& right, std::uint32_t extra_flags) {
    std::uint8_t block[block_bytes];
    std::memcpy(block, left.data(), 32);
    std::memcpy(block + 32, right.data(), 32);
    std::uint32_t out[16];
    compress(iv, block, 0, static_cast<std::uint32_t>(block_bytes), parent | extra_flags, out);
    ChainingValue value;
    std::memcpy(value.data(), out, 32);
    return value;
}

// Joins the chaining values of consecutive subtrees of equal size (the last one may be
// smaller) into the value of their tree, as BLAKE3 shapes it: the left part holds the
// largest power of two of subtrees that leaves at least one for the right part.
ChainingValue joined(const ChainingValue* values, std::size_t count, std::uint32_t extra_flags) {
    if (count == 1) return values[0];
    std::size_t left = 1;
    while (left * 2 < count) left *= 2;
    return parent_of(joined(values, left, 0), joined(values + left, count - left, 0), extra_flags);
}

Digest as_digest(const ChainingValue& value) {
    Digest digest{};
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t byte = 0; byte < 4; ++byte)
            digest[4 * i + byte] = static_cast<std::uint8_t>(value[i] >> (8 * byte));
    }
    return digest;
}

// The chaining values of every chunk of `n` bytes whose first chunk is `first_chunk`.
std::vector<ChainingValue> chunk_values(const std::uint8_t* data, std::size_t n, std::uint64_t first_chunk) {
    const std::size_t chunks = std::max<std::size_t>(1, (n + chunk_bytes - 1) / chunk_bytes);
    std::vector<ChainingValue> values(chunks);
    const std::size_t whole = n / chunk_bytes;
    std::size_t c = 0;
    for (; c + 8 <= whole; c += 8) {
        const std::uint8_t* inputs[8];
        for (std::size_t lane = 0; lane < 8; ++lane) inputs[lane] = data + (c + lane) * chunk_bytes;
        eight_chunks(inputs, first_chunk + c, values.data() + c);
    }
    for (; c < chunks; ++c) {
        const std::size_t first = c * chunk_bytes;
        values[c] = one_chunk(data + first, std::min(chunk_bytes, n - first), first_chunk + c, 0);
    }
    return values;
}

}  // namespace

std::size_t pieces_of(std::size_t n) {
    return n <= piece_bytes ? 1 : (n + piece_bytes - 1) / piece_bytes;
}

ChainingValue piece_value(const std::uint8_t* data, std::size_t n, std::size_t piece) {
    const std::size_t first = piece * piece_bytes;
    const std::size_t length = std::min(piece_bytes, n - first);
    std::vector<ChainingValue> values = chunk_values(data + first, length, first / chunk_bytes);
    return joined(values.data(), values.size(), 0);
}

Digest join_pieces(const ChainingValue* values, std::size_t count) {
    return as_digest(joined(values, count, root));
}

Digest blake3(const std::uint8_t* data, std::size_t n) {
    if (n <= chunk_bytes) return as_digest(one_chunk(data, n, 0, root));
    const std::size_t pieces = pieces_of(n);
    if (pieces == 1) {
        std::vector<ChainingValue> values = chunk_values(data, n, 0);
        return as_digest(joined(values.data(), values.size(), root));
    }
    std::vector<ChainingValue> values(pieces);
    for (std::size_t piece = 0; piece < pieces; ++piece) values[piece] = piece_value(data, n, piece);
    return join_pieces(values.data(), pieces);
}

}  // namespace velmora::digest
