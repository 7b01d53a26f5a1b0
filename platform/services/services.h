// The service-control stand-in. On Windows the product's services are run by
// the service control manager; here they are systemd units, reached over the
// system bus (sd-bus), or entries of an in-process fake for tests.
//
// A service is named as on Windows ("QuorviaSMTP"); the systemd unit is that
// name with ".service" appended unless the name already carries a unit suffix.
//
// Thread safety: every function may be called from any thread; a Controller
// object itself is used by one thread at a time.
#ifndef QV_PLATFORM_SERVICES_H
#define QV_PLATFORM_SERVICES_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace qv::services {

// Service states, numbered as the Windows service control manager numbers them.
enum class State : uint32_t {
  Stopped = 1,
  StartPending = 2,
  StopPending = 3,
  Running = 4,
  ContinuePending = 5,
  PausePending = 6,
  Paused = 7,
};

enum class Outcome {
  Ok,
  NoManager,  // the service manager cannot be reached
  NoService,  // the manager does not know the service
  Failed,     // the manager refused or failed the operation
};

// One connection to the service manager, opened for a few operations.
class Controller {
 public:
  virtual ~Controller() = default;
  // Whether the manager knows the service.
  virtual Outcome Find(const std::string& name) = 0;
  // Starts the service without arguments.
  virtual Outcome Start(const std::string& name) = 0;
  // Asks the service to stop.
  virtual Outcome Stop(const std::string& name) = 0;
  virtual Outcome QueryState(const std::string& name, State* state) = 0;
};

// Opens a controller on the active manager: the systemd system manager, or
// the manager a test installed. Null when the manager cannot be reached.
std::unique_ptr<Controller> OpenManager();

// The systemd implementation over the system bus (DBUS_SYSTEM_BUS_ADDRESS is
// honoured). Null when the bus cannot be opened.
std::unique_ptr<Controller> OpenSystemdManager();

// The unit a service name stands for.
std::string UnitName(std::string_view serviceName);

// Maps systemd's ActiveState, SubState and FreezerState onto a State.
State StateFromSystemd(std::string_view activeState, std::string_view subState,
                       std::string_view freezerState);

// Whether the manager refuses to start (`start` true) or stop a service in
// `state`, as the Windows manager refuses a start of a service that is not
// stopped and a stop of one that is stopped. systemd itself would accept both
// as no-ops and report success.
bool RefusesTransition(State state, bool start);

// An in-process service manager for tests: services are added by name; start
// and stop change their state at once. Start of a running service and stop of
// a stopped one fail, as the Windows manager refuses them.
class FakeManager {
 public:
  void Add(const std::string& name, State state = State::Stopped);
  void Remove(const std::string& name);
  // Makes OpenManager() fail (the manager is unreachable) while set.
  void SetUnavailable(bool unavailable);
  // Makes every operation on this service fail with Outcome::Failed.
  void SetFailing(const std::string& name, bool failing);
  // The state of a service; Stopped when unknown.
  State StateOf(const std::string& name) const;

  std::unique_ptr<Controller> Open();

 private:
  class FakeController;
  struct Entry {
    State state = State::Stopped;
    bool failing = false;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Entry> services_;
  bool unavailable_ = false;
};

// Makes OpenManager() use `fake` until called with nullptr. Not owned.
void SetFakeManagerForTesting(FakeManager* fake);

}  // namespace qv::services

#endif
