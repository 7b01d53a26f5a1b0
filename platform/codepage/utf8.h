// UTF-8 helpers shared by the code page implementations of every platform
// (not part of the component's interface).
#ifndef QV_PLATFORM_CODEPAGE_UTF8_H
#define QV_PLATFORM_CODEPAGE_UTF8_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qv::codepage::detail {

// True when every byte is below 0x80.
bool IsAscii(std::string_view s);
// Length of the well-formed UTF-8 sequence at the start of `s`, or 0.
size_t Utf8SequenceLength(std::string_view s);

// The Windows code page number of a character set named as mail names it
// (65001 UTF-8, 20127 US-ASCII, 28591-28606 ISO-8859-n, 1250-1258,
// 20866 KOI8-R, 21866 KOI8-U); nullopt for any other name.
std::optional<unsigned> CodePageOfCharset(std::string_view name);
inline constexpr unsigned kCodePageUtf8 = 65001;

// Appends `bytes` read as UTF-8, each byte that starts no well-formed
// character as U+FFFD.
void AppendUtf8Lenient(std::string& out, std::string_view bytes);

// `bytes` in the single-byte character set of code page `page` (any page
// CodePageOfCharset names but UTF-8), as UTF-8; a byte without a character
// becomes U+FFFD or the platform's default character. nullopt when the
// platform lacks the set. Each platform's code page layer defines it.
std::optional<std::string> SingleByteSetToUtf8(unsigned page, std::string_view bytes);

}  // namespace qv::codepage::detail

#endif
