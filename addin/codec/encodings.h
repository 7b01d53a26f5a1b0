// The fixed text forms in which the add-in and the web mail servlet exchange
// values: request escaping, the server's date text, Base64 for binary values and
// the mail-style encoded words that may appear in the server's item XML.
//
// Texts are UTF-8 std::string; bytes are std::string too. Where bytes become
// text and back (quoted-printable), the system code page is used
// (platform/codepage). All functions are pure, thread-safe and never throw
// (except std::bad_alloc).
#ifndef QVSYNC_CODEC_ENCODINGS_H
#define QVSYNC_CODEC_ENCODINGS_H

#include <optional>
#include <string>
#include <string_view>

namespace qvsync {

// A local date and time without a zone, to the second. Fields are in range once
// produced by the functions below (month 1-12, day 1-31, hour 0-23, ...).
struct LocalDateTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  friend bool operator==(const LocalDateTime&, const LocalDateTime&) = default;
};

// The current local date and time.
LocalDateTime NowLocal();

// Form value escaping. Every UTF-16 code unit of `text` outside the 75 safe
// characters "0-9A-Za-z:/.?=_-$(){}~" becomes "%u" and four upper-case hex
// digits; the space becomes "+". A character outside the basic plane is written
// as its two surrogate halves, each escaped. An invalid UTF-8 byte is taken as
// U+FFFD. The result is pure ASCII; there is no length limit.
std::string EscapeValue(std::string_view text);

// "YYYY-MM-DD-HH-mm" of a local date and time (seconds dropped).
std::string FormatServerDate(const LocalDateTime& date);

// Parses "YYYY-MM-DD" or "YYYY-MM-DD-HH-mm[-...]" (parts after the fifth are
// ignored) and adds `offsetMinutes`. Months, days, hours and minutes outside
// their range carry over into the next unit (month 13 is January of the next
// year, day 0 the last day of the month before). Anything that does not parse
// (fewer than three parts, exactly four, a part that is not a decimal number, a
// year outside 100-9999) gives NowLocal() without the offset.
LocalDateTime ParseServerDate(std::string_view text, long offsetMinutes);
// The same, with std::nullopt where ParseServerDate falls back to now.
std::optional<LocalDateTime> TryParseServerDate(std::string_view text, long offsetMinutes);

// Standard Base64 with "=" padding. An encoded text longer than 76 characters
// is broken into lines of 76 joined by CR LF; when its length is an exact
// multiple of 76 it also ends with CR LF (the servlet expects that form).
std::string B64Encode(std::string_view bytes);

// Lenient Base64: whitespace (CR, LF, TAB, space) and "=" are skipped anywhere;
// every other character outside the alphabet counts as the value 0; a final
// group of two or three characters gives one or two bytes, a single left-over
// character nothing. Never fails.
std::string B64Decode(std::string_view text);

// Decodes the quoted-printable encoded words ("=?charset?q?text?=") of
// `text`, with "_" standing for a space, each in the character set it names
// (the system code page when the set is unknown). White space between two
// encoded words is dropped; everything else outside the words, and every
// Base64 word ("?b?"), stays as it is; so does anything that only looks like a
// word (no closing "?=", a charset that is no token, an encoding of more than
// one letter, encoded text that is not printable ASCII without spaces). A word
// of another one-letter encoding gives its encoded text. When `charset` is given it receives the charset name
// of the first word decoded (lower case), or is cleared.
std::string DecodeEncodedWord(std::string_view text, std::string* charset = nullptr);

// Decodes quoted-printable text: soft line breaks ("=" and CR LF or LF)
// removed, a final "=" dropped, "=XX" escapes turned into bytes, and the bytes
// read in `charset` (as CharsetToUtf8 of platform/codepage names it; the
// system code page when it is empty or unknown). An "=" that is not followed
// by two hexadecimal digits is not an escape and is kept as it is; characters
// outside ASCII in `text` are kept as they are. Never fails.
std::string DecodeQuotedPrintable(std::string_view text, std::string_view charset = {});

}  // namespace qvsync

#endif
