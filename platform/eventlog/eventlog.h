// The event-log stand-in. On Windows an entry goes to the application event
// log under a registered source; here it goes to syslog (facility LOG_USER,
// ident = the source), or to a sink a test installed.
//
// Thread safety: every function may be called from any thread.
#ifndef QV_PLATFORM_EVENTLOG_H
#define QV_PLATFORM_EVENTLOG_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qv::eventlog {

// Numbered as Windows numbers them.
enum class EventType : uint16_t { Error = 1, Warning = 2, Information = 4 };

struct Entry {
  EventType type = EventType::Information;
  std::string source;
  uint16_t category = 0;
  uint32_t eventId = 0;
  std::vector<std::string> strings;  // the insertion strings, in order
};

// Where entries go.
class Sink {
 public:
  virtual ~Sink() = default;
  // Registers the source for one report; false when it cannot be registered,
  // in which case nothing is written.
  virtual bool RegisterSource(const std::string& source) = 0;
  virtual void Write(const Entry& entry) = 0;
  virtual void DeregisterSource(const std::string& source) = 0;
};

// Registers the entry's source, writes the entry and deregisters the source.
// False when the source could not be registered (nothing was written).
bool Report(const Entry& entry);

// Makes Report() use `sink` instead of syslog until called with nullptr.
// `sink` is not owned.
void SetSinkForTesting(Sink* sink);

// A sink that keeps every entry, for tests.
class CapturingSink : public Sink {
 public:
  bool RegisterSource(const std::string& source) override;
  void Write(const Entry& entry) override;
  void DeregisterSource(const std::string&) override {}

  std::vector<Entry> entries() const;
  void Clear();
  // Makes RegisterSource fail from now on.
  void RefuseSources(bool refuse);

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  bool refuse_ = false;
};

// Installs a CapturingSink for the lifetime of this object.
class ScopedCapture {
 public:
  ScopedCapture() { SetSinkForTesting(&sink_); }
  ~ScopedCapture() { SetSinkForTesting(nullptr); }
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
  CapturingSink& sink() { return sink_; }

 private:
  CapturingSink sink_;
};

}  // namespace qv::eventlog

#endif
