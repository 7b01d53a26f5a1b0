#include <cctype>

#include "addin/config/sync_config.h"

namespace qvsync {

std::string NormalizedHost(std::string_view host) {
  // Blanks around it and a scheme or path typed with it name no other server.
  while (!host.empty() && std::isspace(static_cast<unsigned char>(host.front()))) host.remove_prefix(1);
  while (!host.empty() && std::isspace(static_cast<unsigned char>(host.back()))) host.remove_suffix(1);
  std::string text;
  for (char c : host) text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (text.rfind("http://", 0) == 0) text.erase(0, 7);
  if (const size_t slash = text.find('/'); slash != std::string::npos) text.erase(slash);
  // The port HTTP takes anyway.
  if (text.size() > 3 && text.compare(text.size() - 3, 3, ":80") == 0) text.erase(text.size() - 3);
  // A fully qualified name may end with the root's dot.
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace qvsync
