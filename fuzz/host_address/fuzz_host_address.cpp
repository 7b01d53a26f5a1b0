// The configured host as the transports read it: any text is taken or refused
// without fault; a host taken names a server a URL cannot be bent by (no
// character that ends or changes the authority), a port from 1 to 65535, and
// reads back the same when written out again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "addin/server/host_address.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  qvsync::HostAddress address;
  if (!qvsync::ParseHostAddress(text, &address)) return 0;
  if (address.name.empty() || address.port == 0) abort();
  for (char c : address.name) {
    if (c == '/' || c == '?' || c == '#' || c == '@' || c == '\\' || static_cast<unsigned char>(c) <= ' ' ||
        c == '\x7f') {
      abort();
    }
  }
  if (!address.bracketed && address.name.find(':') != std::string::npos) abort();
  const std::string name = address.bracketed ? "[" + address.name + "]" : address.name;
  qvsync::HostAddress again;
  if (!qvsync::ParseHostAddress(name + ":" + std::to_string(address.port), &again)) abort();
  if (again.name != address.name || again.port != address.port || again.bracketed != address.bracketed) abort();
  return 0;
}
