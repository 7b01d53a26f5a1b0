#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "library/options/local.h"
#include "library/options/options.h"
#include "library/remote/channel.h"
#include "library/remote/remote.h"
#include "platform/eventlog/eventlog.h"
#include "platform/registry/registry.h"
#include "tests/common/test_support.h"

namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

const std::filesystem::path kGetOnly = GETONLY_PROVIDER_FILE;
const std::filesystem::path kRegistry = REGISTRY_PROVIDER_FILE;

constexpr const char* kProviders = "SOFTWARE\\Quorvia\\Quorvia\\Providers\\System";

class OptionsTest : public qv::testing::RegistryTest {
 protected:
  void SetUp() override {
    qvaiso::options::ResetProviderNamesForTesting();
    qvaiso::remote::ResetSessionForTesting();
    qvaiso::remote::SetConnectFunctionForTesting([this](int, const sockaddr_in&) {
      ++connects_;
      errno = ECONNREFUSED;
      return -1;
    });
  }
  void TearDown() override {
    qvaiso::remote::SetConnectFunctionForTesting(nullptr);
    qvaiso::remote::ResetSessionForTesting();
    qvaiso::options::ResetProviderNamesForTesting();
  }

  // Copies `file` into this test's application directory and registers it
  // under a name no other test uses (the provider table lives as long as the
  // process). Returns that name.
  std::string RegisterProvider(const std::string& name, const std::filesystem::path& file) {
    const std::string unique =
        name + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string fileName = unique + ".so";
    std::filesystem::copy_file(file, std::filesystem::path(applications_.path()) / fileName);
    RegisterProviderFile(unique, fileName);
    return unique;
  }

  void RegisterProviderFile(const std::string& name, const std::string& fileName) {
    Key root, provider;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia", &root), Status::Ok);
    root.SetString("Application Directory", applications_.path());
    ASSERT_EQ(Key::Create(Hive::LocalMachine, std::string(kProviders) + "\\" + name, &provider),
              Status::Ok);
    provider.SetString("Provider DLL", fileName);
  }

  void SetCurrentProvider(const std::string& name) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, kProviders, &key), Status::Ok);
    key.SetString("Current Provider", name);
  }

  std::vector<std::string> Messages(uint32_t eventId) {
    std::vector<std::string> messages;
    for (const auto& entry : capture_.sink().entries()) {
      if (entry.eventId == eventId && entry.strings.size() == 2) {
        EXPECT_EQ(entry.type, qv::eventlog::EventType::Information);
        EXPECT_EQ(entry.source, "Quorvia");
        messages.push_back(entry.strings[1]);
      }
    }
    return messages;
  }

  static SystemOptionRecord Record(int scope, const char* key, const char* name,
                                   const char* value = "") {
    SystemOptionRecord record{};
    record.optionScope = scope;
    std::strcpy(record.optionKey, key);
    std::strcpy(record.optionName, name);
    std::strcpy(record.optionValue, value);
    return record;
  }

  qv::testing::TempDir applications_;
  qv::eventlog::ScopedCapture capture_;
  int connects_ = 0;
};

TEST_F(OptionsTest, WithoutProviderEveryCallFailsAndReports) {
  char value[1024] = "stale";
  EXPECT_EQ(GetOption(0, "Key", "Name", value), 0);
  EXPECT_EQ(SetOption(0, "Key", "Name", "v"), 0);
  SystemOptionRecord record = Record(0, "Key", "Name");
  EXPECT_EQ(GetSystemOption(&record), 0);
  EXPECT_EQ(SetSystemOption(&record), 0);
  EXPECT_EQ(SetLoggingFunction(1, 2, 3, 4), 0);

  const auto handle = Messages(10000);
  ASSERT_EQ(handle.size(), 1u);  // only GetOption_Ex reports the missing module
  EXPECT_EQ(handle[0],
            "Error: The System Option Provider failed when calling the GetOption function "
            "because the module handle is null");
  const auto registry = Messages(0x40000001);
  ASSERT_FALSE(registry.empty());
  EXPECT_EQ(registry[0].rfind("An error was reported by the configuration provider abstraction "
                              "interface when accessing Registry Key "
                              "SOFTWARE\\Quorvia\\Quorvia\\Providers\\System:Current Provider. "
                              "Error: ",
                              0),
            0u);
  EXPECT_EQ(connects_, 0);  // no host: nothing is forwarded
}

TEST_F(OptionsTest, RegistryProviderKeepsOptions) {
  SetCurrentProvider(RegisterProvider("Registry", kRegistry));
  EXPECT_EQ(SetOption(2, "Domains\\example.org", "Quota", "500"), 1);
  char value[1024];
  EXPECT_EQ(GetOption(2, "Domains\\example.org", "Quota", value), 1);
  EXPECT_STREQ(value, "500");
  EXPECT_EQ(GetOption(3, "Domains\\example.org", "Quota", value), 0);  // scopes are apart
  EXPECT_STREQ(value, "");

  SystemOptionRecord record = Record(1, "SMTP", "Banner", "Hello");
  EXPECT_EQ(SetSystemOption(&record), 1);
  SystemOptionRecord read = Record(1, "SMTP", "Banner");
  EXPECT_EQ(GetSystemOption(&read), 1);
  EXPECT_STREQ(read.optionValue, "Hello");
  EXPECT_STREQ(read.optionKey, "SMTP");
  EXPECT_EQ(GetOption_Ex(1, "SMTP", "Banner", value, 5), 0);  // "Hello" needs 6 bytes
  EXPECT_EQ(GetOption_Ex(1, "SMTP", "Banner", value, 6), 1);
  EXPECT_STREQ(value, "Hello");
  EXPECT_EQ(SetLoggingFunction(1, 2, 3, 4), 1);
  EXPECT_TRUE(Messages(10000).empty());
}

TEST_F(OptionsTest, ProviderWithOnlyGetOptionServesGetOptionEx) {
  SelectProvider(RegisterProvider("GetOnly", kGetOnly).c_str());
  char value[64];
  EXPECT_EQ(GetOption_Ex(5, "K", "N", value, sizeof value), 7);
  EXPECT_STREQ(value, "getonly:K/N");
  // The provider's value never runs past the caller's capacity.
  char small[16];
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(GetOption_Ex(5, "K", "long", small, 8), 0);
  EXPECT_STREQ(small, "");
  for (size_t i = 8; i < sizeof small; ++i) EXPECT_EQ(small[i], '#');

  SystemOptionRecord record = Record(5, "K", "N");
  EXPECT_EQ(GetSystemOption(&record), 7);
  EXPECT_STREQ(record.optionValue, "getonly:K/N");
  // A value that does not fit the record's 1024 bytes is refused, not cut.
  SystemOptionRecord tooLong = Record(5, "K", "long");
  EXPECT_EQ(GetSystemOption(&tooLong), 0);
  EXPECT_STREQ(tooLong.optionValue, "");
  // No "SetOption" or "SetLoggingFunction": 0, without a report.
  EXPECT_EQ(SetOption(5, "K", "N", "v"), 0);
  EXPECT_EQ(SetLoggingFunction(1, 2, 3, 4), 0);
  EXPECT_TRUE(Messages(10000).empty());
}

TEST_F(OptionsTest, TwoSelectedProvidersStayLoaded) {
  const std::string registry = RegisterProvider("Registry", kRegistry);
  const std::string getOnly = RegisterProvider("GetOnly", kGetOnly);
  char value[1024];
  SelectProvider(registry.c_str());
  SetOption(1, "A", "B", "from registry");
  EXPECT_EQ(GetOption(1, "A", "B", value), 1);
  SelectProvider(getOnly.c_str());
  EXPECT_EQ(GetOption(1, "A", "B", value), 7);
  EXPECT_TRUE(qvaiso::options::ProviderLoadedForTesting(registry));
  EXPECT_TRUE(qvaiso::options::ProviderLoadedForTesting(getOnly));
  for (const std::string& name : {registry, getOnly}) {
    const std::string file = applications_.File(name + ".so");
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(handle, nullptr) << file;
    if (handle) dlclose(handle);
  }
  // Back to the first: its module is still there and serves again.
  SelectProvider(registry.c_str());
  EXPECT_EQ(GetOption(1, "A", "B", value), 1);
  EXPECT_STREQ(value, "from registry");
}

TEST_F(OptionsTest, FailedLoadIsReportedAndRetried) {
  const std::filesystem::path file = applications_.File("late.so");
  RegisterProviderFile("Late", "late.so");
  SelectProvider("Late");
  char value[1024];
  EXPECT_EQ(GetOption(1, "K", "N", value), 0);
  const auto loads = Messages(0x40000001);
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(loads[0].rfind("An error was reported by the configuration provider abstraction "
                           "interface. Load Library (" +
                               file.string() + ") Failed. Error: 126 (",
                           0),
            0u)
      << loads[0];
  // The loader's own words say why: here, no such file.
  EXPECT_NE(loads[0].find("late.so"), loads[0].rfind("late.so")) << loads[0];
  EXPECT_NE(loads[0].find("No such file"), std::string::npos) << loads[0];
  // The entry's last error is the one Windows gives for a missing module.
  bool found = false;
  for (const auto& entry : capture_.sink().entries()) {
    if (entry.strings.size() == 2 && entry.strings[1] == loads[0]) {
      EXPECT_EQ(entry.strings[0], "Quorvia System Option Provider error: 126");
      found = true;
    }
  }
  EXPECT_TRUE(found);
  EXPECT_FALSE(qvaiso::options::ProviderLoadedForTesting("Late"));

  std::filesystem::copy_file(kGetOnly, file);
  EXPECT_EQ(GetOption(1, "K", "N", value), 7);
  EXPECT_STREQ(value, "getonly:K/N");
  EXPECT_TRUE(qvaiso::options::ProviderLoadedForTesting("Late"));
}

TEST_F(OptionsTest, ThirtyTwoBitViewPathNamesTheSameProviderSetting) {
  const std::string registry = RegisterProvider("Registry", kRegistry);
  // Written through the 32-bit view form of the path, read by the provider
  // resolution through the native one.
  ASSERT_EQ(SetRemoteRegistryString("", "Software\\Wow6432Node\\Quorvia\\Quorvia\\Providers\\System",
                                    "Current Provider", registry.c_str()),
            1);
  char output[4096];
  ASSERT_EQ(GetRemoteRegistryString("", kProviders, "Current Provider", output), 1);
  EXPECT_STREQ(output, registry.c_str());
  EXPECT_EQ(SetOption(1, "K", "N", "v"), 1);
  char value[1024];
  EXPECT_EQ(GetOption(1, "K", "N", value), 1);
  EXPECT_STREQ(value, "v");
}

TEST_F(OptionsTest, NullArgumentsAndOverlongFieldsFail) {
  SetCurrentProvider(RegisterProvider("Registry", kRegistry));
  char value[16];
  EXPECT_EQ(GetOption(0, nullptr, "N", value), 0);
  EXPECT_EQ(GetOption(0, "K", nullptr, value), 0);
  EXPECT_EQ(GetOption(0, "K", "N", nullptr), 0);
  EXPECT_EQ(GetOption_Ex(0, "K", "N", value, 0), 0);
  EXPECT_EQ(SetOption(0, "K", "N", nullptr), 0);
  EXPECT_EQ(GetSystemOption(nullptr), 0);
  EXPECT_EQ(SetSystemOption(nullptr), 0);
  // A record whose fields carry no terminator is read within its fields.
  SystemOptionRecord record;
  std::memset(&record, 'k', sizeof record);
  record.optionScope = 1;
  // A key of 1023 characters is beyond what a registry key name may be.
  EXPECT_EQ(SetSystemOption(&record), 0);
  EXPECT_EQ(GetSystemOption(&record), 0);
  std::memset(&record, 'k', sizeof record);
  record.optionScope = 1;
  std::memcpy(record.optionKey, "K", 2);
  EXPECT_EQ(SetSystemOption(&record), 1);
  EXPECT_EQ(GetSystemOption(&record), 1);
  EXPECT_EQ(std::strlen(record.optionValue), 1023u);
}

TEST_F(OptionsTest, LocalCallsFromSeveralThreadsShareOneModule) {
  const std::string name = RegisterProvider("Registry", kRegistry);
  SetCurrentProvider(name);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 20; ++i) {
        const std::string key = "T" + std::to_string(t);
        const std::string written = std::to_string(i);
        char value[1024];
        if (SetOption(1, key.c_str(), "N", written.c_str()) != 1 ||
            GetOption(1, key.c_str(), "N", value) != 1 || written != value) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(qvaiso::options::ProviderLoadedForTesting(name));
}

TEST_F(OptionsTest, CreateSystemFolderCreatesOneLevel) {
  qv::testing::TempDir dir;
  EXPECT_EQ(CreateSystemFolder((dir.path() + "/logs").c_str()), 1);
  struct stat info;
  EXPECT_EQ(stat((dir.path() + "/logs").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(CreateSystemFolder((dir.path() + "/logs").c_str()), 0);   // exists
  EXPECT_EQ(CreateSystemFolder((dir.path() + "/a/b").c_str()), 0);    // no intermediate levels
  EXPECT_EQ(CreateSystemFolder(nullptr), 0);
}

}  // namespace
