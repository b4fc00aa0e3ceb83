// Newline counting: how a reader of NDJSON numbers its lines without a second slow pass.
#pragma once

#include <cstddef>
#include <cstdint>

// The number of '\n' bytes in [data, data + size).
std::size_t count_newlines(const std::uint8_t* data, std::size_t size) noexcept;
