// The event log on Windows: RegisterEventSource and ReportEvent. An entry goes
// to the Application log under its source, with its type, category, event ID
// and insertion strings as given.
#include <windows.h>

#include <atomic>
#include <string>

#include "platform/eventlog/eventlog.h"

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

std::atomic<Sink*> g_testSink{nullptr};

Sink& CurrentSink() {
  if (Sink* sink = g_testSink.load()) return *sink;
  static WindowsSink* windowsSink = new WindowsSink;  // lives for the process
  return *windowsSink;
}

}  // namespace

bool Report(const Entry& entry) {
  Sink& sink = CurrentSink();
  if (!sink.RegisterSource(entry.source)) return false;
  sink.Write(entry);
  sink.DeregisterSource(entry.source);
  return true;
}

void SetSinkForTesting(Sink* sink) { g_testSink.store(sink); }

bool CapturingSink::RegisterSource(const std::string&) {
  std::lock_guard lock(mutex_);
  return !refuse_;
}

void CapturingSink::Write(const Entry& entry) {
  std::lock_guard lock(mutex_);
  entries_.push_back(entry);
}

std::vector<Entry> CapturingSink::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

void CapturingSink::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

void CapturingSink::RefuseSources(bool refuse) {
  std::lock_guard lock(mutex_);
  refuse_ = refuse;
}

}  // namespace qv::eventlog
