#include "blake3.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::digest {
namespace {

std::string hex(const Digest& digest) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

// The input of BLAKE3's published test vectors: byte i is i % 251.
std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i % 251);
    return bytes;
}

struct Vector {
    std::size_t length;
    const char* hash;
};

// Lengths around the block (64), chunk (1024), eight-chunk and piece (1 MiB) sizes.
const Vector vectors[] = {
    {0, "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262"},
    {1, "2d3adedff11b61f14c886e35afa036736dcd87a74d27b5c1510225d0f592e213"},
    {63, "e9bc37a594daad83be9470df7f7b3798297c3d834ce80ba85d6e207627b7db7b"},
    {64, "4eed7141ea4a5cd4b788606bd23f46e212af9cacebacdc7d1f4c6dc7f2511b98"},
    {65, "de1e5fa0be70df6d2be8fffd0e99ceaa8eb6e8c93a63f2d8d1c30ecb6b263dee"},
    {1023, "10108970eeda3eb932baac1428c7a2163b0e924c9a9e25b35bba72b28f70bd11"},
    {1024, "42214739f095a406f3fc83deb889744ac00df831c10daa55189b5d121c855af7"},
    {1025, "d00278ae47eb27b34faecf67b4fe263f82d5412916c1ffd97c8cb7fb814b8444"},
    {3072, "b98cb0ff3623be03326b373de6b9095218513e64f1ee2edd2525c7ad1e5cffd2"},
    {8192, "aae792484c8efe4f19e2ca7d371d8c467ffb10748d8a5a1ae579948f718a2a63"},
    {9216, "e5ef79624045ef3e98fd23342e61d7eb965997b32928f9de591cd0d465a223fb"},
    {16385, "1dabe216be2578830263b049de1639f39f05a4da616b9b78c7a5e4e41662fd1f"},
    {1048576, "74cb441fd087764ca9c3694da742ebe30cbeb3060a17009ca81825c7a8d10343"},
    {1048577, "2f053cd7472cf0cd2f9adaf45c1180255b91b9a865404a63671a0ee5f792ed33"},
    {3145733, "a7bb55bed0c04f58879d1fc1cafb27e14e931f4411fe63baf5b2d5a60357bffb"},
};

TEST(Blake3, KnownVectors) {
    for (const Vector& vector : vectors) {
        const std::vector<std::uint8_t> bytes = pattern(vector.length);
        EXPECT_EQ(hex(blake3(bytes.data(), bytes.size())), vector.hash) << vector.length;
    }
}

TEST(Blake3, PiecesJoinedInAnyOrderGiveTheHash) {
    const std::vector<std::uint8_t> bytes = pattern(3 * piece_bytes + 5);
    const std::size_t count = pieces_of(bytes.size());
    ASSERT_EQ(count, 4U);
    std::vector<ChainingValue> values(count);
    for (std::size_t piece = count; piece-- > 0;) values[piece] = piece_value(bytes.data(), bytes.size(), piece);
    EXPECT_EQ(hex(join_pieces(values.data(), count)),
              "a7bb55bed0c04f58879d1fc1cafb27e14e931f4411fe63baf5b2d5a60357bffb");
    EXPECT_EQ(pieces_of(piece_bytes), 1U);
}

}  // namespace
}  // namespace velmora::digest
