#include "addin/server/host_address.h"

namespace qvsync {

bool ParseHostAddress(std::string_view host, HostAddress* address) {
  *address = HostAddress{};
  if (host.empty()) return false;
  std::string_view name;
  std::string_view rest;
  if (host.front() == '[') {
    const size_t close = host.find(']');
    if (close == host.npos) return false;
    name = host.substr(1, close - 1);
    rest = host.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    address->bracketed = true;
  } else {
    const size_t colon = host.find(':');
    name = host.substr(0, colon);
    if (colon != host.npos) rest = host.substr(colon);
  }
  if (!rest.empty()) {
    const std::string_view digits = rest.substr(1);
    if (digits.empty() || digits.size() > 5) return false;
    long value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    address->port = static_cast<uint16_t>(value);
  }
  if (name.empty()) return false;
  for (char c : name) {
    if (c == '/' || c == '?' || c == '#' || c == '@' || c == '\\' || static_cast<unsigned char>(c) <= ' ' ||
        c == '\x7f') {
      return false;
    }
  }
  address->name = std::string(name);
  return true;
}

}  // namespace qvsync
