// BLAKE3, the cryptographic hash behind the content digests that key the metric
// library's stores of shared results: two different contents get the same key only
// through a BLAKE3 collision, which nobody knows how to make. BLAKE3 hashes its input
// as a tree of 1 KiB chunks, so eight chunks are compressed at once in vector
// registers, and large inputs are split into pieces that several threads hash
// independently and that are joined at the end. Pure C++.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora::digest {

using Digest = std::array<std::uint8_t, 32>;

// The 32-byte BLAKE3 hash of `n` bytes, on the calling thread.
Digest blake3(const std::uint8_t* data, std::size_t n);

// Hashing in pieces: bytes [i * piece_bytes, (i + 1) * piece_bytes) form piece i (the
// last one shorter), each a whole subtree of the BLAKE3 tree, so the pieces can be
// hashed in any order, on any thread, and then joined.
inline constexpr std::size_t piece_bytes = std::size_t{1} << 20;

// The pieces of `n` bytes: 1 when the input is hashed in one go (at most one piece).
std::size_t pieces_of(std::size_t n);

// A subtree's chaining value.
using ChainingValue = std::array<std::uint32_t, 8>;

// The chaining value of piece `piece` of the `n` bytes at `data` (pieces_of(n) > 1).
ChainingValue piece_value(const std::uint8_t* data, std::size_t n, std::size_t piece);

// The BLAKE3 hash of the `n` bytes whose pieces have the chaining values `values`.
Digest join_pieces(const ChainingValue* values, std::size_t count);

}  // namespace velmora::digest
