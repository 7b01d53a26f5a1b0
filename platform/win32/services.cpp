// Service control on Windows: the service control manager.
#include <windows.h>

#include <atomic>

#include "platform/services/services.h"

namespace qv::services {
namespace {

std::atomic<FakeManager*> g_fake{nullptr};

class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
  ~ServiceHandle() {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  void reset(SC_HANDLE handle) {
    if (handle_ != nullptr) CloseServiceHandle(handle_);
    handle_ = handle;
  }

 private:
  SC_HANDLE handle_;
};

class ScmController final : public Controller {
 public:
  explicit ScmController(SC_HANDLE manager) : manager_(manager) {}

  Outcome Find(const std::string& name) override {
    ServiceHandle service;
    return OpenNamed(name, SERVICE_QUERY_STATUS, &service);
  }

  Outcome Start(const std::string& name) override {
    ServiceHandle service;
    if (Outcome o = OpenNamed(name, SERVICE_START, &service); o != Outcome::Ok) return o;
    return StartServiceA(service.get(), 0, nullptr) ? Outcome::Ok : Outcome::Failed;
  }

  Outcome Stop(const std::string& name) override {
    ServiceHandle service;
    if (Outcome o = OpenNamed(name, SERVICE_STOP, &service); o != Outcome::Ok) return o;
    SERVICE_STATUS status;
    return ControlService(service.get(), SERVICE_CONTROL_STOP, &status) ? Outcome::Ok : Outcome::Failed;
  }

  Outcome QueryState(const std::string& name, State* state) override {
    ServiceHandle service;
    if (Outcome o = OpenNamed(name, SERVICE_QUERY_STATUS, &service); o != Outcome::Ok) return o;
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service.get(), &status)) return Outcome::Failed;
    // The manager numbers the states as State does.
    if (status.dwCurrentState < 1 || status.dwCurrentState > 7) return Outcome::Failed;
    *state = static_cast<State>(status.dwCurrentState);
    return Outcome::Ok;
  }

 private:
  Outcome OpenNamed(const std::string& name, DWORD access, ServiceHandle* out) {
    SC_HANDLE service = OpenServiceA(manager_.get(), name.c_str(), access);
    if (service == nullptr) {
      const DWORD error = GetLastError();
      return error == ERROR_SERVICE_DOES_NOT_EXIST || error == ERROR_INVALID_NAME ? Outcome::NoService
                                                                                  : Outcome::Failed;
    }
    out->reset(service);
    return Outcome::Ok;
  }

  ServiceHandle manager_;
};

}  // namespace

std::unique_ptr<Controller> OpenManager() {
  if (FakeManager* fake = g_fake.load()) return fake->Open();
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
  if (manager == nullptr) return nullptr;  // the manager cannot be reached
  return std::make_unique<ScmController>(manager);
}

void SetFakeManagerForTesting(FakeManager* fake) { g_fake.store(fake); }

bool RefusesTransition(State state, bool start) {
  return start ? state != State::Stopped : state == State::Stopped;
}

}  // namespace qv::services
