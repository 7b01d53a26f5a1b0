// The system's 8-bit code page: the one character set in which the add-in
// exchanges bytes with the outside (request bodies, quoted-printable bytes, the
// activity log). Texts inside the system are UTF-8.
//
// The code page is named by the environment variable QUORVIA_CODEPAGE (any name
// iconv knows, such as "WINDOWS-1252", "ISO-8859-2", "CP1251"); it defaults to
// Windows-1252. An unknown name falls back to the default. The name is read at
// every call, so a change takes effect at once. All functions are thread-safe
// and never fail: characters that cannot be converted are replaced.
#ifndef QV_PLATFORM_CODEPAGE_H
#define QV_PLATFORM_CODEPAGE_H

#include <string>
#include <string_view>

namespace qv::codepage {

// The default code page when QUORVIA_CODEPAGE is not set.
inline constexpr const char* kDefaultCodePage = "WINDOWS-1252";

// The name of the code page in force.
std::string SystemCodePageName();

// UTF-8 text to bytes of the code page. A character the code page lacks becomes
// "?", as the system's own conversion does; an invalid UTF-8 byte becomes "?".
std::string FromUtf8(std::string_view utf8);

// Bytes of the code page to UTF-8 text. A byte that has no character in a
// single-byte code page is taken as the Unicode character of the same value
// (so bytes survive a round trip); other undecodable input becomes U+FFFD.
std::string ToUtf8(std::string_view bytes);

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// Appends the UTF-8 form of one Unicode character; a surrogate or a value
// above U+10FFFF is appended as U+FFFD.
void AppendUtf8(std::string& out, unsigned codePoint);

}  // namespace qv::codepage

#endif
