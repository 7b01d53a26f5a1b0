#include "platform/eventlog/eventlog.h"

#include <syslog.h>

#include <atomic>
#include <string>

namespace qv::eventlog {
namespace {

// Writes entries to syslog: the source is the ident, the type picks the
// priority, and the event ID and strings make up the message.
class SyslogSink final : public Sink {
 public:
  bool RegisterSource(const std::string&) override { return true; }

  void Write(const Entry& entry) override {
    int priority = LOG_INFO;
    if (entry.type == EventType::Error) priority = LOG_ERR;
    if (entry.type == EventType::Warning) priority = LOG_WARNING;
    std::string message = "event " + std::to_string(entry.eventId);
    for (const std::string& s : entry.strings) message += " | " + s;
    // openlog keeps the ident pointer; serialise so it stays valid while used.
    std::lock_guard lock(mutex_);
    ident_ = entry.source;
    openlog(ident_.c_str(), LOG_PID, LOG_USER);
    syslog(priority, "%s", message.c_str());
    closelog();
  }

  void DeregisterSource(const std::string&) override {}

 private:
  std::mutex mutex_;
  std::string ident_;
};

std::atomic<Sink*> g_testSink{nullptr};

Sink& CurrentSink() {
  if (Sink* sink = g_testSink.load()) return *sink;
  static SyslogSink* syslogSink = new SyslogSink;  // lives for the process
  return *syslogSink;
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
