// The server a configured host names: "name", "name:port", "[v6]" or
// "[v6]:port" (port 80 when left out). One reading for every transport
// backend, so that a host one of them accepts the other accepts too.
#ifndef QVSYNC_SERVER_HOST_ADDRESS_H
#define QVSYNC_SERVER_HOST_ADDRESS_H

#include <cstdint>
#include <string>
#include <string_view>

namespace qvsync {

struct HostAddress {
  std::string name;    // without the brackets of an IPv6 address
  uint16_t port = 80;  // 1 to 65535
  bool bracketed = false;  // written as "[v6]"
};

// False when the text cannot name a server: empty, an empty name, a port
// that is not 1 to 65535 in at most five digits, an unclosed bracket, text
// after the closing bracket other than ":port", or a name holding a
// character that would change the meaning of a URL ("/", "?", "#", "@",
// "\", a blank or a control character).
bool ParseHostAddress(std::string_view host, HostAddress* address);

}  // namespace qvsync

#endif
