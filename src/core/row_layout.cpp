#include "row_layout.hpp"

#include <cstring>
#include <limits>

namespace brelvox::core {

namespace {
template <class Code>
bool follows(std::span<const Code> codes, std::size_t n_blocks, std::size_t block_size,
             bool by_block) {
    if (codes.size() != n_blocks * block_size) return false;
    // A code type narrower than the numbers it must hold cannot follow the pattern.
    const std::size_t largest = by_block ? n_blocks : block_size;
    if (largest > 0 && largest - 1 > static_cast<std::size_t>(std::numeric_limits<Code>::max()))
        return false;
    const Code* data = codes.data();
    if (by_block) {
        for (std::size_t i = 0; i < n_blocks; ++i, data += block_size) {
            const auto block = static_cast<Code>(i);
            Code differs = 0; // an OR of differences vectorises, an early exit would not
            for (std::size_t t = 0; t < block_size; ++t) differs |= data[t] ^ block;
            if (differs) return false;
        }
        return true;
    }
    for (std::size_t t = 0; t < block_size; ++t)
        if (data[t] != static_cast<Code>(t)) return false;
    for (std::size_t i = 1; i < n_blocks; ++i)
        if (std::memcmp(data, data + i * block_size, block_size * sizeof(Code)) != 0) return false;
    return true;
}
} // namespace

bool follows_blocks(std::span<const std::int8_t> codes, std::size_t n_blocks,
                    std::size_t block_size, bool by_block) {
    return follows(codes, n_blocks, block_size, by_block);
}
bool follows_blocks(std::span<const std::int16_t> codes, std::size_t n_blocks,
                    std::size_t block_size, bool by_block) {
    return follows(codes, n_blocks, block_size, by_block);
}
bool follows_blocks(std::span<const std::int32_t> codes, std::size_t n_blocks,
                    std::size_t block_size, bool by_block) {
    return follows(codes, n_blocks, block_size, by_block);
}
bool follows_blocks(std::span<const std::int64_t> codes, std::size_t n_blocks,
                    std::size_t block_size, bool by_block) {
    return follows(codes, n_blocks, block_size, by_block);
}

} // namespace brelvox::core
