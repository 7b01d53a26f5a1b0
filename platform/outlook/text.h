// Small text helpers shared by the emulation's sources (private).
#ifndef QV_PLATFORM_OUTLOOK_TEXT_H
#define QV_PLATFORM_OUTLOOK_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/outlook/outlook.h"

namespace qv::outlook {

inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

inline std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

inline std::string HexUpper(const uint8_t* data, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 15];
  }
  return out;
}

inline std::string Hex32(uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return HexUpper(bytes, 4);
}

// The range of automation dates: 0100-01-01 to 9999-12-31 23:59:59.
inline constexpr double kMinDateSerial = -657434.0;
inline constexpr double kMaxDateSerial = 2958465.99998;
inline bool IsValidDateSerial(double serial) {
  return serial >= kMinDateSerial && serial <= kMaxDateSerial;
}

// "YYYY-MM-DD HH:MM:SS", the text form of a date.
std::string FormatDate(Date date);

// The single-argument helpers of late-bound members.
inline const Variant& Arg(Args args, size_t index) {
  static const Variant kMissing;
  return index < args.size() ? args[index] : kMissing;
}
inline const Variant& RequiredArg(Args args, size_t index) {
  if (index >= args.size() || args[index].IsEmpty()) throw Error(kErrArgumentMissing);
  return args[index];
}

}  // namespace qv::outlook

#endif
