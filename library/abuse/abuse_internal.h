// Internals of the abuse register shared with its tests and benchmarks: IPv6
// parsing, whitelist pattern matching, and seams for the clock and the
// register's state.
#ifndef QVAISO_ABUSE_INTERNAL_H
#define QVAISO_ABUSE_INTERNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qvaiso::abuse {

// The longest address text accepted; anything longer is refused.
inline constexpr std::size_t kMaxAddressLength = 255;
// The number of entries the register keeps after a purge.
inline constexpr std::size_t kCapacity = 200;

// Eight groups of an IPv6 address; kWildcardGroup stands for "*".
inline constexpr int kWildcardGroup = -1;
struct Ipv6Groups {
  std::array<int, 8> groups{};
  int count = 0;  // groups given (8 unless a partial address was allowed)
};

// Parses an IPv6 address text (see ValidIPv6Address); false when invalid.
bool ParseIPv6(std::string_view text, bool allowWildcard, bool allowPartial, Ipv6Groups* out);

// True when `address` matches the whitelist `pattern`: for an address with a
// colon, group by group as IPv6 ("*" matching any group); otherwise character
// by character, a "*" matching one whole dotted component.
bool MatchesWhitelistPattern(std::string_view address, std::string_view pattern);

// One address's record.
struct AbuseEntry {
  uint32_t firstReport = 0;  // seconds since 1970-01-01 UTC
  uint32_t lastReport = 0;
  uint32_t count = 0;
};

// Empties the register and forgets its settings, which are read again on the
// next call (tests and benchmarks).
void ResetAbuseRegisterForTesting();
// Replaces the clock (seconds since 1970-01-01 UTC); null restores the real one.
void SetClockForTesting(uint32_t (*clock)());
std::optional<AbuseEntry> FindEntryForTesting(const std::string& address);
std::size_t EntryCountForTesting();

}  // namespace qvaiso::abuse

#endif
