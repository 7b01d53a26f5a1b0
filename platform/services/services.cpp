#include <atomic>

#include "platform/services/services.h"

namespace qv::services {
namespace {
std::atomic<FakeManager*> g_fake{nullptr};
}  // namespace

std::unique_ptr<Controller> OpenManager() {
  if (FakeManager* fake = g_fake.load()) return fake->Open();
  return OpenSystemdManager();
}

void SetFakeManagerForTesting(FakeManager* fake) { g_fake.store(fake); }

std::string UnitName(std::string_view serviceName) {
  static constexpr std::string_view kSuffixes[] = {".service", ".target", ".socket", ".timer"};
  for (std::string_view suffix : kSuffixes) {
    if (serviceName.size() > suffix.size() &&
        serviceName.substr(serviceName.size() - suffix.size()) == suffix) {
      return std::string(serviceName);
    }
  }
  return std::string(serviceName) + ".service";
}

bool RefusesTransition(State state, bool start) {
  return start ? state != State::Stopped : state == State::Stopped;
}

State StateFromSystemd(std::string_view activeState, std::string_view subState,
                       std::string_view freezerState) {
  if (freezerState == "frozen") return State::Paused;
  if (freezerState == "freezing") return State::PausePending;
  if (freezerState == "thawing") return State::ContinuePending;
  if (activeState == "active" || activeState == "reloading" || activeState == "refreshing") {
    return State::Running;
  }
  if (activeState == "activating") return State::StartPending;
  if (activeState == "deactivating") return State::StopPending;
  // "inactive", "failed", "maintenance" and anything new: not running.
  (void)subState;
  return State::Stopped;
}

}  // namespace qv::services
