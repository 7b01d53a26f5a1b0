// Small text helpers shared by the whole add-in (records passed between its
// operations are TAB-separated texts).
#ifndef QVSYNC_CODEC_STRINGS_H
#define QVSYNC_CODEC_STRINGS_H

#include <string>
#include <string_view>

namespace qvsync {

// The index-th piece (counting from 1) of `text` split at every occurrence of
// `delimiter` (case-sensitive); empty when there are fewer pieces or index < 1.
// An empty delimiter leaves the text in one piece.
std::string GetToken(std::string_view text, std::string_view delimiter, int index);

// Every occurrence of `from` in `text` replaced by `to` (left to right, no rescan).
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

// `text` without leading and trailing spaces (U+0020 only).
std::string_view TrimSpaces(std::string_view text);

}  // namespace qvsync

#endif
