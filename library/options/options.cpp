// The option exports: each asks the remote channel first and is served by the
// local provider or forwarded to the administration host.
#include <sys/stat.h>

#include <cstring>
#include <exception>

#include "library/options/local.h"
#include "library/options/options.h"
#include "library/remote/channel.h"

namespace qvaiso::options {
namespace {

using remote::kConnectFailed;
using remote::kServeLocally;
using remote::Output;
using wire::Request;

constexpr size_t kFieldCapacity = sizeof(SystemOptionRecord::optionKey);

// Fills a record for forwarding; false when a string does not fit its field.
bool BuildRecord(int scope, const char* key, const char* name, const char* value,
                 SystemOptionRecord* record) {
  std::memset(record, 0, sizeof *record);
  record->optionScope = scope;
  const struct {
    char* field;
    const char* text;
  } fields[] = {{record->optionKey, key}, {record->optionName, name}, {record->optionValue, value}};
  for (const auto& [field, text] : fields) {
    const size_t length = strnlen(text, kFieldCapacity);
    if (length >= kFieldCapacity) return false;
    std::memcpy(field, text, length);
  }
  return true;
}

Request RecordRequest(const char* function, const SystemOptionRecord& record) {
  Request request(Request::Method::Exec, function);
  request.AddBytes(&record, sizeof record);
  return request;
}

}  // namespace
}  // namespace qvaiso::options

using namespace qvaiso::options;

extern "C" {

QVAISO_EXPORT void SelectProvider(const char* providerName) {
  try {
    SelectProviderName(providerName);
  } catch (const std::exception&) {
  }
}

QVAISO_EXPORT int GetOption_Ex(int optionScope, const char* optionKey, const char* optionName,
                               char* value, int capacity) {
  if (!optionKey || !optionName || !value || capacity <= 0) return 0;
  try {
    EnsureLibraryLoaded();
    const int answer = qvaiso::remote::EnsureRemoteSession(qvaiso::remote::kLibraryName);
    if (answer == kServeLocally) {
      return LocalGetOptionEx(optionScope, optionKey, optionName, value, capacity);
    }
    value[0] = '\0';
    if (answer == kConnectFailed) return 0;
    SystemOptionRecord record;
    if (!BuildRecord(optionScope, optionKey, optionName, "", &record)) return 0;
    int result = qvaiso::remote::ForwardCall(
        RecordRequest("GetSystemOption", record),
        {{1, &record, sizeof record, Output::Kind::Record}});
    TerminateOptionRecord(&record);
    const size_t length = std::strlen(record.optionValue);
    if (length < static_cast<size_t>(capacity)) {
      std::memcpy(value, record.optionValue, length + 1);
    } else {
      result = 0;  // the value does not fit the caller's buffer: not cut
    }
    return result;
  } catch (const std::exception&) {
    return 0;
  }
}

QVAISO_EXPORT int GetOption(int optionScope, const char* optionKey, const char* optionName,
                            char* value) {
  return GetOption_Ex(optionScope, optionKey, optionName, value, 1024);
}

QVAISO_EXPORT int SetOption(int optionScope, const char* optionKey, const char* optionName,
                            const char* optionValue) {
  if (!optionKey || !optionName || !optionValue) return 0;
  try {
    EnsureLibraryLoaded();
    const int answer = qvaiso::remote::EnsureRemoteSession(qvaiso::remote::kLibraryName);
    if (answer == kServeLocally) {
      return LocalSetOption(optionScope, optionKey, optionName, optionValue);
    }
    if (answer == kConnectFailed) return 0;
    SystemOptionRecord record;
    if (!BuildRecord(optionScope, optionKey, optionName, optionValue, &record)) return 0;
    return qvaiso::remote::ForwardCall(RecordRequest("SetSystemOption", record), {});
  } catch (const std::exception&) {
    return 0;
  }
}

QVAISO_EXPORT int GetSystemOption(SystemOptionRecord* record) {
  if (record == nullptr) return 0;
  try {
    EnsureLibraryLoaded();
    const int answer = qvaiso::remote::EnsureRemoteSession(qvaiso::remote::kLibraryName);
    if (answer == kServeLocally) return LocalGetSystemOption(record);
    if (answer == kConnectFailed) return 0;
    const int result = qvaiso::remote::ForwardCall(
        RecordRequest("GetSystemOption", *record),
        {{1, record, sizeof *record, Output::Kind::Record}});
    TerminateOptionRecord(record);
    return result;
  } catch (const std::exception&) {
    return 0;
  }
}

QVAISO_EXPORT int SetSystemOption(SystemOptionRecord* record) {
  if (record == nullptr) return 0;
  try {
    EnsureLibraryLoaded();
    const int answer = qvaiso::remote::EnsureRemoteSession(qvaiso::remote::kLibraryName);
    if (answer == kServeLocally) return LocalSetSystemOption(record);
    if (answer == kConnectFailed) return 0;
    return qvaiso::remote::ForwardCall(RecordRequest("SetSystemOption", *record), {});
  } catch (const std::exception&) {
    return 0;
  }
}

QVAISO_EXPORT int SetLoggingFunction(int32_t first, int32_t second, int32_t third,
                                     int32_t fourth) {
  try {
    EnsureLibraryLoaded();
    return CallSetLoggingFunction(first, second, third, fourth);
  } catch (const std::exception&) {
    return 0;
  }
}

QVAISO_EXPORT int CreateSystemFolder(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  return mkdir(path, 0777) == 0 ? 1 : 0;
}

}  // extern "C"
