#include "platform/services/services.h"

namespace qv::services {

// Works on the FakeManager it came from; the manager must outlive it.
class FakeManager::FakeController : public Controller {
 public:
  explicit FakeController(FakeManager* owner) : owner_(owner) {}

  Outcome Find(const std::string& name) override {
    std::lock_guard lock(owner_->mutex_);
    return owner_->services_.count(name) ? Outcome::Ok : Outcome::NoService;
  }
  Outcome Start(const std::string& name) override { return Change(name, true); }
  Outcome Stop(const std::string& name) override { return Change(name, false); }
  Outcome QueryState(const std::string& name, State* state) override {
    std::lock_guard lock(owner_->mutex_);
    auto it = owner_->services_.find(name);
    if (it == owner_->services_.end()) return Outcome::NoService;
    if (it->second.failing) return Outcome::Failed;
    *state = it->second.state;
    return Outcome::Ok;
  }

 private:
  Outcome Change(const std::string& name, bool start) {
    std::lock_guard lock(owner_->mutex_);
    auto it = owner_->services_.find(name);
    if (it == owner_->services_.end()) return Outcome::NoService;
    if (it->second.failing || RefusesTransition(it->second.state, start)) return Outcome::Failed;
    it->second.state = start ? State::Running : State::Stopped;
    return Outcome::Ok;
  }

  FakeManager* owner_;  // Not owned.
};

void FakeManager::Add(const std::string& name, State state) {
  std::lock_guard lock(mutex_);
  services_[name] = Entry{state, false};
}

void FakeManager::Remove(const std::string& name) {
  std::lock_guard lock(mutex_);
  services_.erase(name);
}

void FakeManager::SetUnavailable(bool unavailable) {
  std::lock_guard lock(mutex_);
  unavailable_ = unavailable;
}

void FakeManager::SetFailing(const std::string& name, bool failing) {
  std::lock_guard lock(mutex_);
  services_[name].failing = failing;
}

State FakeManager::StateOf(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = services_.find(name);
  return it == services_.end() ? State::Stopped : it->second.state;
}

std::unique_ptr<Controller> FakeManager::Open() {
  std::lock_guard lock(mutex_);
  if (unavailable_) return nullptr;
  return std::make_unique<FakeController>(this);
}

}  // namespace qv::services
