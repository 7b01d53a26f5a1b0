// The service manager over systemd's D-Bus API (org.freedesktop.systemd1).
#include <systemd/sd-bus.h>

#include <cstdlib>

#include "platform/services/services.h"

namespace qv::services {
namespace {

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";

// Owns one connection to the system bus; used by one thread at a time.
class SystemdController : public Controller {
 public:
  explicit SystemdController(sd_bus* bus) : bus_(bus) {}
  ~SystemdController() override { sd_bus_flush_close_unref(bus_); }

  Outcome Find(const std::string& name) override {
    std::string path;
    if (!LoadUnit(name, &path)) return Outcome::NoService;
    std::string loadState;
    if (!UnitProperty(path, "LoadState", &loadState)) return Outcome::Failed;
    return loadState == "not-found" ? Outcome::NoService : Outcome::Ok;
  }

  Outcome Start(const std::string& name) override { return Job("StartUnit", name, true); }
  Outcome Stop(const std::string& name) override { return Job("StopUnit", name, false); }

  Outcome QueryState(const std::string& name, State* state) override {
    std::string path;
    if (!LoadUnit(name, &path)) return Outcome::NoService;
    std::string active, sub, freezer;
    if (!UnitProperty(path, "ActiveState", &active)) return Outcome::Failed;
    UnitProperty(path, "SubState", &sub);
    UnitProperty(path, "FreezerState", &freezer);  // absent on older systemd
    *state = StateFromSystemd(active, sub, freezer);
    return Outcome::Ok;
  }

 private:
  bool LoadUnit(const std::string& name, std::string* path) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const std::string unit = UnitName(name);
    int r = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, "LoadUnit",
                               &error, &reply, "s", unit.c_str());
    const char* object = nullptr;
    if (r >= 0) r = sd_bus_message_read(reply, "o", &object);
    if (r >= 0 && object) *path = object;
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 && object;
  }

  bool UnitProperty(const std::string& path, const char* property, std::string* value) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* text = nullptr;
    const int r = sd_bus_get_property_string(bus_, kDestination, path.c_str(), kUnitInterface,
                                             property, &error, &text);
    if (r >= 0 && text) *value = text;
    std::free(text);
    sd_bus_error_free(&error);
    return r >= 0;
  }

  Outcome Job(const char* method, const std::string& name, bool start) {
    if (Find(name) != Outcome::Ok) return Outcome::NoService;
    State state;
    if (QueryState(name, &state) != Outcome::Ok) return Outcome::Failed;
    if (RefusesTransition(state, start)) return Outcome::Failed;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const std::string unit = UnitName(name);
    const int r = sd_bus_call_method(bus_, kDestination, kManagerPath, kManagerInterface, method,
                                     &error, &reply, "ss", unit.c_str(), "replace");
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return r >= 0 ? Outcome::Ok : Outcome::Failed;
  }

  sd_bus* bus_;  // Owned.
};

}  // namespace

std::unique_ptr<Controller> OpenSystemdManager() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0 || bus == nullptr) return nullptr;
  // Ask the manager once, so an unreachable bus shows here and not later.
  sd_bus_error error = SD_BUS_ERROR_NULL;
  char* version = nullptr;
  const int r = sd_bus_get_property_string(bus, kDestination, kManagerPath, kManagerInterface,
                                           "Version", &error, &version);
  std::free(version);
  sd_bus_error_free(&error);
  if (r < 0) {
    sd_bus_flush_close_unref(bus);
    return nullptr;
  }
  return std::make_unique<SystemdController>(bus);
}

}  // namespace qv::services
