#include "library/support/support.h"

namespace qvaiso {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of an alphabet character, -1 for any other.
int DigitValue(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

}  // namespace

int Base64Encode(const unsigned char* bytes, int length, char* output, int capacity) {
  if (length < 0 || output == nullptr || capacity <= 0 || (bytes == nullptr && length > 0)) return -1;
  // 4 characters per started group of 3 bytes, plus the terminator.
  long long needed = (static_cast<long long>(length) + 2) / 3 * 4;
  if (needed + 1 > capacity) return -1;
  char* out = output;
  int i = 0;
  for (; i + 2 < length; i += 3) {
    unsigned group = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8) | bytes[i + 2];
    *out++ = kAlphabet[(group >> 18) & 63];
    *out++ = kAlphabet[(group >> 12) & 63];
    *out++ = kAlphabet[(group >> 6) & 63];
    *out++ = kAlphabet[group & 63];
  }
  if (length - i == 1) {
    unsigned group = unsigned{bytes[i]} << 16;
    *out++ = kAlphabet[(group >> 18) & 63];
    *out++ = kAlphabet[(group >> 12) & 63];
    *out++ = '=';
    *out++ = '=';
  } else if (length - i == 2) {
    unsigned group = (unsigned{bytes[i]} << 16) | (unsigned{bytes[i + 1]} << 8);
    *out++ = kAlphabet[(group >> 18) & 63];
    *out++ = kAlphabet[(group >> 12) & 63];
    *out++ = kAlphabet[(group >> 6) & 63];
    *out++ = '=';
  }
  *out = '\0';
  return static_cast<int>(out - output);
}

int Base64Decode(const char* text, unsigned char* output, int capacity) {
  if (text == nullptr || capacity < 0 || (output == nullptr && capacity > 0)) return -1;
  int written = 0;
  unsigned group = 0;  // bits of the characters of the current group
  int count = 0;       // characters in the current group
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (; *p != '\0' && *p != '='; ++p) {
    if (IsSpace(*p)) continue;
    int value = DigitValue(*p);
    if (value < 0) return -1;
    group = (group << 6) | static_cast<unsigned>(value);
    if (++count == 4) {
      if (written + 3 > capacity) return -1;
      output[written++] = static_cast<unsigned char>(group >> 16);
      output[written++] = static_cast<unsigned char>(group >> 8);
      output[written++] = static_cast<unsigned char>(group);
      group = 0;
      count = 0;
    }
  }
  // The padding: one "=" after three characters, two after two, none after a
  // complete group; then nothing but whitespace.
  int padding = 0;
  for (; *p != '\0'; ++p) {
    if (IsSpace(*p)) continue;
    if (*p != '=') return -1;
    ++padding;
  }
  if (count == 0) {
    return padding == 0 ? written : -1;
  }
  if (count == 1 || padding != 4 - count) return -1;
  if (count == 2) {
    if ((group & 0x0f) != 0) return -1;  // unused low bits must be zero
    if (written + 1 > capacity) return -1;
    output[written++] = static_cast<unsigned char>(group >> 4);
  } else {  // count == 3
    if ((group & 0x03) != 0) return -1;
    if (written + 2 > capacity) return -1;
    output[written++] = static_cast<unsigned char>(group >> 10);
    output[written++] = static_cast<unsigned char>(group >> 2);
  }
  return written;
}

}  // namespace qvaiso
