// UTF-8 checks shared by the scanner's files.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>

inline bool is_continuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

inline bool valid_utf8(const std::uint8_t* data, std::size_t size) noexcept {
  return simdjson::validate_utf8(reinterpret_cast<const char*>(data), size);
}
