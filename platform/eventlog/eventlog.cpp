#include "platform/eventlog/eventlog.h"
#include "platform/eventlog/system_sink.h"

#include <syslog.h>

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

}  // namespace

Sink& SystemSink() {
  static SyslogSink* syslogSink = new SyslogSink;  // lives for the process
  return *syslogSink;
}

}  // namespace qv::eventlog
