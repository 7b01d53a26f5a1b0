// The test helpers of tests/common/test_support.h on Windows: temporary folders
// under the Windows temporary folder, environment variables through the C
// runtime, and fresh registry hives made by removing the system's keys from
// the registry (the tests run in a Wine prefix of their own, one at a time).
#include "tests/common/test_support.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/registry/registry.h"

namespace qv::testing {
namespace {

void RemoveSystemKeys() {
  for (auto hive : {qv::registry::Hive::CurrentUser, qv::registry::Hive::LocalMachine}) {
    qv::registry::DeleteKeyTree(hive, "Software\\Quorvia");
  }
}

}  // namespace

TempDir::TempDir() {
  char base[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof base, base);
  std::string templ = std::string(base, length > 0 && length < sizeof base ? length : 0) + "qvtest-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << templ;
  }
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) old_ = old;
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

RegistryTest::RegistryTest()
    : hkcu_("QUORVIA_HKCU", dir_.File("hkcu.db")), hklm_("QUORVIA_HKLM", dir_.File("hklm.db")) {
  RemoveSystemKeys();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  return static_cast<bool>(out);
}

std::string BuildDir() {
  const char* dir = std::getenv("QV_BUILD_DIR");
  return dir ? dir : ".";
}

}  // namespace qv::testing
