// The event log on Windows: RegisterEventSource and ReportEvent. An entry goes
// to the Application log under its source, with its type, category, event ID
// and insertion strings as given.
#include <windows.h>

#include <string>

#include "platform/eventlog/eventlog.h"
#include "platform/eventlog/system_sink.h"

namespace qv::eventlog {
namespace {

class WindowsSink final : public Sink {
 public:
  bool RegisterSource(const std::string& source) override {
    HANDLE handle = RegisterEventSourceA(nullptr, source.c_str());
    if (handle == nullptr) return false;
    DeregisterEventSource(handle);
    return true;
  }

  void Write(const Entry& entry) override {
    HANDLE handle = RegisterEventSourceA(nullptr, entry.source.c_str());
    if (handle == nullptr) return;
    std::vector<const char*> strings;
    strings.reserve(entry.strings.size());
    for (const std::string& s : entry.strings) strings.push_back(s.c_str());
    ReportEventA(handle, static_cast<WORD>(entry.type), entry.category, entry.eventId, nullptr,
                 static_cast<WORD>(strings.size()), 0, strings.empty() ? nullptr : strings.data(), nullptr);
    DeregisterEventSource(handle);
  }

  void DeregisterSource(const std::string&) override {}
};

}  // namespace

Sink& SystemSink() {
  static WindowsSink* windowsSink = new WindowsSink;  // lives for the process
  return *windowsSink;
}

}  // namespace qv::eventlog
