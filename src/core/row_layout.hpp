// Recognising long data that already is a dense panel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace brelvox::core {

// True when `codes` holds, for n_blocks blocks of block_size entries, the block number in
// every entry of a block (`by_block`) or else each entry's position within its block:
// the level codes of rows sorted by instrument then date with every cell present once.
bool follows_blocks(std::span<const std::int8_t> codes, std::size_t n_blocks,
                    std::size_t block_size, bool by_block);
bool follows_blocks(std::span<const std::int16_t> codes, std::size_t n_blocks,
                    std::size_t block_size, bool by_block);
bool follows_blocks(std::span<const std::int32_t> codes, std::size_t n_blocks,
                    std::size_t block_size, bool by_block);
bool follows_blocks(std::span<const std::int64_t> codes, std::size_t n_blocks,
                    std::size_t block_size, bool by_block);

} // namespace brelvox::core
