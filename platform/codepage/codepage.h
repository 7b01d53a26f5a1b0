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

#include <optional>
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

// A text that ought to be UTF-8 but may hold stray 8-bit bytes (a server's
// reply): its well-formed UTF-8 characters as they are, and each run of bytes
// that are not part of one read in the code page.
std::string Utf8OrCodePageToUtf8(std::string_view bytes);

// Bytes of a character set named as mail names them ("utf-8", "iso-8859-2",
// "windows-1251", "cp1250", "latin1"; case ignored, an RFC 2231 language
// suffix "*en" allowed) to UTF-8 text; a byte that starts no character of the
// set becomes U+FFFD. std::nullopt for a set this layer does not decode: it
// decodes UTF-8, US-ASCII, ISO-8859-1 to -16, Windows-1250 to -1258, KOI8-R
// and KOI8-U (on a platform that lacks one of them, that one gives nullopt).
std::optional<std::string> CharsetToUtf8(std::string_view charset, std::string_view bytes);

// Appends the UTF-8 form of one Unicode character; a surrogate or a value
// above U+10FFFF is appended as U+FFFD.
void AppendUtf8(std::string& out, unsigned codePoint);

}  // namespace qv::codepage

#endif
