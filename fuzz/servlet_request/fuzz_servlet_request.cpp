// The servlet emulator's reading of request bodies: form decoding, the item
// commands and batches, on one in-memory mailbox. Every reply must be
// well-formed XML: it loads, and holds no character XML 1.0 cannot carry.
#include <cstddef>
#include <cstdint>
#include <pugixml.hpp>
#include <string>

#include "tools/qvservlet/servlet.h"
#include "tools/qvservlet/xml_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qv::servlet::Servlet* servlet = [] {
    auto* s = new qv::servlet::Servlet(":memory:");
    s->AddUser("alice", "secret");
    return s;
  }();
  std::string body(reinterpret_cast<const char*>(data), size);
  std::string reply = servlet->Execute("alice", body);
  pugi::xml_document doc;
  if (!doc.load_buffer(reply.data(), reply.size())) __builtin_trap();  // replies are always XML
  if (!qv::servlet::XmlCharacterFault(reply).empty()) __builtin_trap();
  // Whatever was stored can be given back as well-formed XML: GET the items
  // the reply names (ASCII IDs sent byte by byte as %XX).
  size_t fetched = 0;
  for (const pugi::xpath_node& uid : doc.select_nodes("//UID")) {
    if (++fetched > 3) break;
    std::string id;
    bool ascii = true;
    for (unsigned char c : std::string(uid.node().text().get())) {
      static const char* hex = "0123456789ABCDEF";
      ascii = ascii && c < 0x80;  // "%XX" bytes are read in the code page
      id += '%';
      id += hex[c >> 4];
      id += hex[c & 15];
    }
    if (!ascii) continue;
    std::string get = servlet->Execute("alice", "Cmd=GET-TASK&ID=" + id);
    if (!qv::servlet::XmlCharacterFault(get).empty()) __builtin_trap();
  }
  return 0;
}
