// The readers of server replies: the tag scan, the LIST reply and the
// GET-AUTORESPONSE reply.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "addin/server/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string reply(reinterpret_cast<const char*>(data), size);
  for (const char* tag : {"RETURNVALUE", "ERRORVALUE", "ERROR_DESCRIPTION", "UID", "MODIFIEDDATE"}) {
    std::string value = qvsync::GetXmlValue(reply, tag);
    if (value.size() > reply.size()) __builtin_trap();
  }
  std::vector<std::string> list;
  qvsync::ReadItemList(reply, list);
  bool enabled = false;
  std::string subject, body;
  qvsync::ReadAutoResponse(reply, enabled, subject, body);
  return 0;
}
