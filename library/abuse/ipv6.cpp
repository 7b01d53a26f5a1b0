#include <cstring>

#include "library/abuse/abuse.h"
#include "library/abuse/abuse_internal.h"

namespace qvaiso::abuse {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses the colon-separated groups of `part` (which has no "::") onto the end
// of `groups`; an empty part has no groups. False for an empty group, a group
// of more than four digits, a non-hex character, or more than eight groups.
bool ParseGroups(std::string_view part, bool allowWildcard, int* groups, int* count) {
  if (part.empty()) return true;
  std::size_t start = 0;
  while (true) {
    std::size_t colon = part.find(':', start);
    std::string_view group =
        part.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
    if (*count >= 8) return false;
    if (allowWildcard && group == "*") {
      groups[(*count)++] = kWildcardGroup;
    } else {
      if (group.empty() || group.size() > 4) return false;
      int value = 0;
      for (char c : group) {
        int digit = HexDigit(c);
        if (digit < 0) return false;
        value = value * 16 + digit;
      }
      groups[(*count)++] = value;
    }
    if (colon == std::string_view::npos) return true;
    start = colon + 1;
  }
}

// Matches a dotted address against a pattern whose "*" stands for one whole
// component; both must be consumed completely.
bool MatchDotted(std::string_view address, std::string_view pattern) {
  std::size_t a = 0;
  std::size_t p = 0;
  while (p < pattern.size()) {
    if (pattern[p] == '*') {
      while (a < address.size() && address[a] != '.') ++a;
      ++p;
    } else if (a < address.size() && pattern[p] == address[a]) {
      ++a;
      ++p;
    } else {
      return false;
    }
  }
  return a == address.size();
}

}  // namespace

bool ParseIPv6(std::string_view text, bool allowWildcard, bool allowPartial, Ipv6Groups* out) {
  if (text.empty()) return false;
  std::size_t gap = text.find("::");
  if (gap != std::string_view::npos && text.find("::", gap + 1) != std::string_view::npos) {
    return false;  // "::" may appear once (":::" included)
  }
  int head[8];
  int tail[8];
  int headCount = 0;
  int tailCount = 0;
  if (gap == std::string_view::npos) {
    if (!ParseGroups(text, allowWildcard, head, &headCount)) return false;
    if (headCount != 8 && !allowPartial) return false;
  } else {
    if (!ParseGroups(text.substr(0, gap), allowWildcard, head, &headCount)) return false;
    if (!ParseGroups(text.substr(gap + 2), allowWildcard, tail, &tailCount)) return false;
    // "::" stands for at least one group.
    if (headCount + tailCount > 7) return false;
  }
  Ipv6Groups result;
  int at = 0;
  for (int i = 0; i < headCount; ++i) result.groups[at++] = head[i];
  if (gap != std::string_view::npos) {
    for (int i = headCount + tailCount; i < 8; ++i) result.groups[at++] = 0;
    for (int i = 0; i < tailCount; ++i) result.groups[at++] = tail[i];
  }
  result.count = at;
  if (out) *out = result;
  return true;
}

bool MatchesWhitelistPattern(std::string_view address, std::string_view pattern) {
  if (address.find(':') == std::string_view::npos) return MatchDotted(address, pattern);
  Ipv6Groups parsedAddress;
  Ipv6Groups parsedPattern;
  if (!ParseIPv6(address, false, false, &parsedAddress) ||
      !ParseIPv6(pattern, true, false, &parsedPattern)) {
    return false;
  }
  for (int i = 0; i < 8; ++i) {
    int group = parsedPattern.groups[i];
    if (group != kWildcardGroup && group != parsedAddress.groups[i]) return false;
  }
  return true;
}

}  // namespace qvaiso::abuse

int ValidIPv6Address(const char* text, int allowWildcard, int allowPartial) {
  if (text == nullptr) return 0;
  std::size_t length = strnlen(text, qvaiso::abuse::kMaxAddressLength + 1);
  if (length > qvaiso::abuse::kMaxAddressLength) return 0;
  return qvaiso::abuse::ParseIPv6(std::string_view(text, length), allowWildcard != 0,
                                  allowPartial != 0, nullptr)
             ? 1
             : 0;
}
