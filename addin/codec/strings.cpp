#include "addin/codec/strings.h"

namespace qvsync {

std::string GetToken(std::string_view text, std::string_view delimiter, int index) {
  if (index < 1) return "";
  if (delimiter.empty()) return index == 1 ? std::string(text) : "";
  size_t start = 0;
  for (int piece = 1;; ++piece) {
    size_t end = text.find(delimiter, start);
    if (piece == index) {
      return std::string(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
    }
    if (end == std::string_view::npos) return "";
    start = end + delimiter.size();
  }
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string_view TrimSpaces(std::string_view text) {
  size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

}  // namespace qvsync
