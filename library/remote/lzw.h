// Parameter compression of the remote administration channel: LZW with fixed
// choices that both ends of the channel share.
//
//  - The dictionary starts with the 256 one-byte strings (codes 0-255) and
//    holds at most 1023 entries (codes 0-1022); once full, nothing is added.
//  - An entry holds at most 63 bytes; a phrase is extended only while it is
//    shorter than 62 bytes.
//  - Codes are 16-bit little-endian values written one after another.
//  - The compressor looks up the lowest code whose entry equals a string.
//
// Pure functions without shared state; safe to call from any thread.
#ifndef QVAISO_REMOTE_LZW_H
#define QVAISO_REMOTE_LZW_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qvaiso::lzw {

inline constexpr size_t kMaxEntries = 1023;
inline constexpr size_t kMaxEntryLength = 63;

// Compresses `input`; the result is twice the number of codes long. An empty
// input gives an empty result.
std::string Compress(std::span<const uint8_t> input);

enum class DecodeStatus {
  Ok,
  Malformed,  // odd length, a code that names no entry, an over-long entry
  TooLong,    // the output would exceed the limit given
};

// Decompresses `codes` into `output` (replaced), writing at most `limit`
// bytes. An empty input gives an empty output.
DecodeStatus Decompress(std::span<const uint8_t> codes, size_t limit, std::string* output);

}  // namespace qvaiso::lzw

#endif
