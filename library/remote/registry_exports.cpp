// SetCurrentHost and the remote registry exports.
#include <cstring>
#include <exception>
#include <string>

#include "library/remote/channel.h"
#include "library/remote/local.h"
#include "library/remote/remote.h"
#include "library/support/support.h"

namespace qvaiso::remote {
namespace {

using qv::registry::Key;
using qv::registry::Status;

// Makes the host current and asks for a session for the empty library name.
int SelectHost(const char* hostName) {
  SetCurrentHostName(hostName ? hostName : "");
  return EnsureRemoteSession("");
}

uint32_t NumberFromBytes(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// Writes one HKLM value, creating its key. The 32-bit view form of a path
// names the same key as for reads.
bool WriteMachineValue(const char* keyPath, const char* valueName,
                       const qv::registry::Value& value) {
  Key key;
  if (Key::Create(qv::registry::Hive::LocalMachine, RewriteWow6432Path(keyPath), &key) !=
      Status::Ok) {
    return false;
  }
  return key.Set(valueName, value) == Status::Ok;
}

}  // namespace

int LocalGetRegistryString(const char* keyPath, const char* valueName, char* output) {
  if (!keyPath || !valueName || !output) return 0;
  return ReadMachineString(keyPath, valueName, output, kRegistryStringCapacity) ? 1 : 0;
}

int LocalSetRegistryString(const char* keyPath, const char* valueName, const char* value) {
  if (!keyPath || !valueName || !value) return 0;
  return WriteMachineValue(keyPath, valueName, qv::registry::Value::String(value)) ? 1 : 0;
}

int LocalGetRegistryWord(const char* keyPath, const char* valueName, uint32_t* value) {
  if (!keyPath || !valueName || !value) return 0;
  return ReadRegistryDword(qv::registry::Hive::LocalMachine, RewriteWow6432Path(keyPath),
                           valueName, value)
             ? 1
             : 0;
}

int LocalSetRegistryWord(const char* keyPath, const char* valueName, uint32_t value) {
  if (!keyPath || !valueName) return 0;
  return WriteMachineValue(keyPath, valueName, qv::registry::Value::Dword(value)) ? 1 : 0;
}

}  // namespace qvaiso::remote

using namespace qvaiso::remote;
using qvaiso::wire::Request;

extern "C" {

QVAISO_EXPORT int SetCurrentHost(const char* hostName) {
  try {
    SetCurrentHostName(hostName ? hostName : "");
  } catch (const std::exception&) {
  }
  return 1;
}

QVAISO_EXPORT int GetRemoteRegistryString(const char* hostName, const char* keyPath,
                                          const char* valueName, char* output) {
  if (!keyPath || !valueName || !output) return 0;
  try {
    const int answer = SelectHost(hostName);
    if (answer == kServeLocally) return LocalGetRegistryString(keyPath, valueName, output);
    if (answer == kConnectFailed) return 0;
    Request request(Request::Method::Setting, "GetRegistryString");
    request.AddString(keyPath);
    request.AddString(valueName);
    request.AddNumber(0);  // placeholder for the string coming back
    return ForwardCall(request, {{3, output, kRegistryStringCapacity, Output::Kind::String}});
  } catch (const std::exception&) {
    return 0;
  }
}

QVAISO_EXPORT int SetRemoteRegistryString(const char* hostName, const char* keyPath,
                                          const char* valueName, const char* value) {
  if (!keyPath || !valueName || !value) return 0;
  try {
    const int answer = SelectHost(hostName);
    if (answer == kServeLocally) return LocalSetRegistryString(keyPath, valueName, value);
    if (answer == kConnectFailed) return 0;
    Request request(Request::Method::Setting, "SetRegistryString");
    request.AddString(keyPath);
    request.AddString(valueName);
    request.AddString(value);
    return ForwardCall(request, {});
  } catch (const std::exception&) {
    return 0;
  }
}

QVAISO_EXPORT int GetRemoteRegistryWord(const char* hostName, const char* keyPath,
                                        const char* valueName, uint32_t* value) {
  if (!keyPath || !valueName || !value) return 0;
  try {
    const int answer = SelectHost(hostName);
    if (answer == kServeLocally) return LocalGetRegistryWord(keyPath, valueName, value);
    if (answer == kConnectFailed) return 0;
    Request request(Request::Method::Setting, "GetRegistryWord");
    request.AddString(keyPath);
    request.AddString(valueName);
    request.AddNumber(*value);
    // Starts as the caller's number, so a reply without parameter 3 (or no
    // reply) leaves it unchanged.
    uint8_t number[4] = {static_cast<uint8_t>(*value), static_cast<uint8_t>(*value >> 8),
                         static_cast<uint8_t>(*value >> 16), static_cast<uint8_t>(*value >> 24)};
    const int result = ForwardCall(request, {{3, number, sizeof number, Output::Kind::Record}});
    *value = NumberFromBytes(number);
    return result;
  } catch (const std::exception&) {
    return 0;
  }
}

QVAISO_EXPORT int SetRemoteRegistryWord(const char* hostName, const char* keyPath,
                                        const char* valueName, const uint32_t* value) {
  if (!keyPath || !valueName || !value) return 0;
  try {
    const int answer = SelectHost(hostName);
    if (answer == kServeLocally) return LocalSetRegistryWord(keyPath, valueName, *value);
    if (answer == kConnectFailed) return 0;
    Request request(Request::Method::Setting, "SetRegistryWord");
    request.AddString(keyPath);
    request.AddString(valueName);
    request.AddNumber(*value);
    return ForwardCall(request, {});
  } catch (const std::exception&) {
    return 0;
  }
}

}  // extern "C"
