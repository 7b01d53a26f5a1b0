// Helpers shared by the test executables: temporary folders, scoped
// environment variables, and a fixture that gives each test fresh registry hives.
#ifndef QV_TESTS_TEST_SUPPORT_H
#define QV_TESTS_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace qv::testing {

// A folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable for its lifetime.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Points QUORVIA_HKCU and QUORVIA_HKLM at files in a fresh temporary folder.
class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest();
  TempDir dir_;
  ScopedEnv hkcu_;
  ScopedEnv hklm_;
};

// Reads a whole file; "" when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes a whole file; false on failure.
bool WriteFile(const std::string& path, const std::string& data);

// What a shell command did: its exit status (-1 when it did not exit) and
// what it wrote to standard output.
struct CommandResult {
  int status = -1;
  std::string output;
};
// Runs `command` through the shell and collects its standard output.
CommandResult RunCommand(const std::string& command);

// The build tree (for tools and libraries the tests run), from QV_BUILD_DIR.
std::string BuildDir();

}  // namespace qv::testing

#endif
