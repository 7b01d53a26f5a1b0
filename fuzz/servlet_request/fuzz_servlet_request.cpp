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
  // Whatever was stored can be given back as well-formed XML.
  for (const char* cls : {"TASK", "CONTACT"}) {
    for (const auto& item : servlet->ListItems("alice", cls)) {
      std::string get = servlet->Execute("alice", std::string("Cmd=GET-") + cls + "&ID=" + item.uid);
      if (!qv::servlet::XmlCharacterFault(get).empty()) __builtin_trap();
      break;
    }
  }
  return 0;
}
