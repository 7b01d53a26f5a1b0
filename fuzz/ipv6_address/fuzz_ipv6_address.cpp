// ValidIPv6Address reads any text safely; its flags only ever widen what is
// accepted; a valid address matches itself as a whitelist pattern and reads
// back as the same groups when written out in full.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "library/abuse/abuse.h"
#include "library/abuse/abuse_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const char* address = text.c_str();  // stops at an embedded NUL, as callers' texts do
  int plain = ValidIPv6Address(address, 0, 0);
  int wildcard = ValidIPv6Address(address, 1, 0);
  int partial = ValidIPv6Address(address, 0, 1);
  int both = ValidIPv6Address(address, 1, 1);
  if (plain > wildcard || plain > partial || wildcard > both || partial > both) abort();

  qvaiso::abuse::Ipv6Groups groups;
  if (qvaiso::abuse::ParseIPv6(address, true, false, &groups)) {
    if (groups.count != 8) abort();
    std::string full;
    for (int i = 0; i < 8; ++i) {
      char group[8];
      if (groups.groups[i] == qvaiso::abuse::kWildcardGroup) {
        std::snprintf(group, sizeof group, "*");
      } else {
        if (groups.groups[i] < 0 || groups.groups[i] > 0xFFFF) abort();
        std::snprintf(group, sizeof group, "%x", groups.groups[i]);
      }
      full += (i ? ":" : "") + std::string(group);
    }
    qvaiso::abuse::Ipv6Groups again;
    if (!qvaiso::abuse::ParseIPv6(full, true, false, &again) || again.groups != groups.groups) abort();
    if (plain && !qvaiso::abuse::MatchesWhitelistPattern(address, address)) abort();
  }
  // Dotted patterns are matched against anything without a crash.
  qvaiso::abuse::MatchesWhitelistPattern(address, "10.*.*.*");
  return 0;
}
