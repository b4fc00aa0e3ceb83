// The persisted form of a Bitmap: its byte layout and the little-endian field codecs.
//
// Design notes
// ------------
// Layout (every integer little-endian, no padding, no alignment):
//
//   offset 0   8 bytes  bucket count N: every present bucket, empty ones included
//   offset 8            N records in ascending key order, each:
//     +0       4 bytes  bucket key (the high 32 bits of the bucket's members)
//     +4       8 bytes  payload length n
//     +12      n bytes  payload: the bucket's CRoaring 32-bit bitmap, in one of two variants
//                       chosen by the caller (the bytes do not say which):
//                       portable - the published Roaring format (cookie 12346 or 12347 first);
//                       native   - CRoaring's own: kind byte 1 then a uint32 count and the
//                                  members, or kind byte 2 then the portable form.
//
// An empty bucket is 8 payload bytes (3A 30 00 00 00 00 00 00) portable, 5 (01 00 00 00 00)
// native; the total size is 8 + sum(12 + n).
//
// Reading trusts nothing: every field is checked against the bytes that remain, each payload is
// copied out of the caller's buffer once (another thread may be changing it) and decoded with the
// bounded CRoaring decoders (limit n) and validated before use, and the next record starts
// 12 + n bytes after this one, whatever the decoder consumed.
//
// Changing the form without breaking stored bytes. There is no version field, so the meaning of
// every byte written so far is fixed: field widths, byte order, key order and both payload
// variants never change, and the blobs committed under tests/data must keep loading to the same
// members. Room to grow exists only where today's reader refuses or ignores bytes:
//  - trailing bytes inside a payload (beyond what the decoder consumes) are skipped, so a record
//    may carry extra data after its CRoaring payload, and old readers still load it;
//  - a count word with its top bit set is always refused (no buffer holds 2^63 records), so a
//    future layout marks itself that way and old readers fail cleanly instead of misreading it;
//  - a native payload whose kind byte is neither 1 nor 2 is refused, so a new native kind can
//    take another value.
// Anything else needs a new function name, not a new meaning for existing bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvel::storage::persisted_form {

inline constexpr std::size_t COUNT_BYTES = 8;
inline constexpr std::size_t KEY_BYTES = 4;
inline constexpr std::size_t LENGTH_BYTES = 8;
inline constexpr std::size_t RECORD_HEADER_BYTES = KEY_BYTES + LENGTH_BYTES;

// Writes the low `width` bytes of `value`, least significant first.
inline void store_le(std::uint8_t* out, std::uint64_t value, std::size_t width) noexcept {
  for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Reads `width` bytes (at most 8), least significant first.
inline std::uint64_t load_le(const std::uint8_t* in, std::size_t width) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value |= std::uint64_t{in[i]} << (8 * i);
  return value;
}

}  // namespace quorvel::storage::persisted_form
