// What every platform's event log shares: the sink in use (the system's, or
// one installed for tests), Report, and the capturing sink.
#include <atomic>
#include <string>

#include "platform/eventlog/eventlog.h"
#include "platform/eventlog/system_sink.h"

namespace qv::eventlog {
namespace {

std::atomic<Sink*> g_testSink{nullptr};

Sink& CurrentSink() {
  if (Sink* sink = g_testSink.load()) return *sink;
  return SystemSink();
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
