// Service control: the QVService exports and their local halves.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "library/remote/channel.h"
#include "library/remote/local.h"
#include "library/remote/remote.h"
#include "library/support/support.h"
#include "platform/services/services.h"

namespace qvaiso::remote {
namespace {

using qv::services::Outcome;

// The groups services are registered under, searched in this order.
constexpr const char* kServiceGroups[] = {"CONNECTORS", "Agents", "Services"};
constexpr size_t kNameCapacity = sizeof(ServiceRecord::serviceName);

// The enumeration cursor: services already returned, and the running count of
// the scan under way. Process-wide and unguarded: one enumeration at a time.
uint32_t g_position = 0;
uint32_t g_runningCount = 0;

void Print(const char* message) {
  std::fputs(message, stdout);
  std::fflush(stdout);
}

std::string NameOf(const ServiceRecord* record) {
  return std::string(record->serviceName, strnlen(record->serviceName, kNameCapacity));
}

enum class Operation { Start, Stop, Status };

int Control(ServiceRecord* record, Operation operation) {
  if (record == nullptr) return 0;
  const std::string name = NameOf(record);
  auto manager = qv::services::OpenManager();
  if (!manager) {
    Print("ERROR: COULDN'T OPEN SCM\n");
    return 0;
  }
  if (name.empty() || manager->Find(name) != Outcome::Ok) {
    Print("ERROR: COULDN'T ACCESS SERVICE\n");
    return 0;
  }
  switch (operation) {
    case Operation::Start:
      if (manager->Start(name) == Outcome::Ok) {
        Print("STATUS: Service Started\n");
        return 1;
      }
      Print("ERROR: COULDN'T START SERVICE\n");
      return 0;
    case Operation::Stop:
      if (manager->Stop(name) == Outcome::Ok) {
        Print("STATUS: Service Stopped\n");
        return 1;
      }
      Print("ERROR: COULDN'T STOP SERVICE\n");
      return 0;
    case Operation::Status: {
      qv::services::State state;
      if (manager->QueryState(name, &state) != Outcome::Ok) {
        Print("ERROR: COULDN'T SERVICE_QUERY_STATUS SERVICE\n");
        return 0;
      }
      record->state = static_cast<uint32_t>(state);
      ReadMachineString("SYSTEM\\CurrentControlSet\\Services\\" + name, "DisplayName",
                        record->displayName, sizeof record->displayName);
      return 1;
    }
  }
  return 0;
}

// Forwards one service call; `copyBack` copies the reply's record over the
// caller's.
int Forward(const char* function, ServiceRecord* record, bool copyBack) {
  wire::Request request(wire::Request::Method::Exec, function);
  request.AddBytes(record, sizeof *record);
  if (!copyBack) return ForwardCall(request, {});
  const int result = ForwardCall(request, {{1, record, sizeof *record, Output::Kind::Record}});
  TerminateServiceRecord(record);
  return result;
}

int Dispatch(const char* function, ServiceRecord* record, bool copyBack,
             int (*local)(ServiceRecord*)) {
  if (record == nullptr) return 0;
  try {
    switch (EnsureRemoteSession(kLibraryName)) {
      case kServeLocally:
        return local(record);
      case kSessionOpen:
        return Forward(function, record, copyBack);
      default:
        return 0;
    }
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

void TerminateServiceRecord(ServiceRecord* record) {
  record->serviceName[sizeof record->serviceName - 1] = '\0';
  record->displayName[sizeof record->displayName - 1] = '\0';
}

int LocalServiceStart(ServiceRecord* record) { return Control(record, Operation::Start); }
int LocalServiceStop(ServiceRecord* record) { return Control(record, Operation::Stop); }
int LocalServiceGetStatus(ServiceRecord* record) { return Control(record, Operation::Status); }

int LocalServiceFindNext(ServiceRecord* record) {
  if (record == nullptr) return 0;
  g_runningCount = 0;
  for (const char* group : kServiceGroups) {
    const std::string groupPath = std::string(kMachineRoot) + "\\" + group;
    qv::registry::Key key;
    if (qv::registry::Key::Open(qv::registry::Hive::LocalMachine, groupPath,
                                qv::registry::Access::Full, &key) != qv::registry::Status::Ok) {
      continue;
    }
    std::vector<std::string> subkeys;
    if (key.Subkeys(&subkeys) != qv::registry::Status::Ok) continue;
    for (const std::string& subkey : subkeys) {
      // Zeroed: the whole field is copied into the record, which a remote
      // caller receives whole.
      char name[kNameCapacity] = {};
      if (!ReadMachineString(groupPath + "\\" + subkey, "ServiceName", name, sizeof name)) {
        continue;
      }
      std::memcpy(record->serviceName, name, sizeof name);
      ++g_runningCount;
      if (g_runningCount > g_position) {
        g_position = g_runningCount;
        // The status query may fail (a service registered here but unknown to
        // the manager): the record must not keep the previous service's
        // display name and state under this name.
        std::memset(record->displayName, 0, sizeof record->displayName);
        record->state = 0;
        Control(record, Operation::Status);
        return 1;
      }
    }
  }
  return 0;
}

int LocalServiceFindFirst(ServiceRecord* record) {
  if (record == nullptr) return 0;
  g_position = 0;
  g_runningCount = 0;
  return LocalServiceFindNext(record);
}

}  // namespace qvaiso::remote

using namespace qvaiso::remote;

extern "C" {

QVAISO_EXPORT int QVServiceStart(ServiceRecord* record) {
  return Dispatch("QVServiceStart", record, false, LocalServiceStart);
}

QVAISO_EXPORT int QVServiceStop(ServiceRecord* record) {
  return Dispatch("QVServiceStop", record, false, LocalServiceStop);
}

QVAISO_EXPORT int QVServiceGetStatus(ServiceRecord* record) {
  return Dispatch("QVServiceGetStatus", record, true, LocalServiceGetStatus);
}

QVAISO_EXPORT int QVServiceFindFirst(ServiceRecord* record) {
  return Dispatch("QVServiceFindFirst", record, true, LocalServiceFindFirst);
}

QVAISO_EXPORT int QVServiceFindNext(ServiceRecord* record) {
  return Dispatch("QVServiceFindNext", record, true, LocalServiceFindNext);
}

}  // extern "C"
