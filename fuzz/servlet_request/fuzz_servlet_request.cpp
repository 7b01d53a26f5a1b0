// The servlet emulator's reading of request bodies: form decoding, the item
// commands and batches, on one in-memory mailbox.
#include <cstddef>
#include <cstdint>
#include <pugixml.hpp>
#include <string>

#include "tools/qvservlet/servlet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qv::servlet::Servlet* servlet = [] {
    auto* s = new qv::servlet::Servlet(":memory:");
    s->AddUser("alice", "secret");
    return s;
  }();
  std::string body(reinterpret_cast<const char*>(data), size);
  std::string reply = servlet->Execute("alice", body);
  pugi::xml_document doc;
  if (!doc.load_string(reply.c_str())) __builtin_trap();  // replies are always XML
  return 0;
}
