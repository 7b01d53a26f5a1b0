// Hex text <-> bytes for the crypto tests.
#ifndef QV_TESTS_LIBRARY_CRYPTO_TEST_HEX_H
#define QV_TESTS_LIBRARY_CRYPTO_TEST_HEX_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qv::testing {

inline std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

inline std::string ToHex(const uint8_t* bytes, size_t length) {
  std::string hex;
  char pair[3];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    hex += pair;
  }
  return hex;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) { return ToHex(bytes.data(), bytes.size()); }

}  // namespace qv::testing

#endif
