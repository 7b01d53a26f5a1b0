#include "platform/shell/shell.h"

#include "tests/common/test_support.h"

namespace qv::shell {
namespace {

// Records what would be started; succeeds only for the programs it is told to.
class RecordingLauncher : public Launcher {
 public:
  bool Run(const std::vector<std::string>& argv) override {
    runs.push_back(argv);
    for (const std::string& program : working) {
      if (argv[0] == program) return true;
    }
    return false;
  }
  std::vector<std::vector<std::string>> runs;
  std::vector<std::string> working;
};

class Shell : public ::testing::Test {
 protected:
  Shell() { SetLauncherForTesting(&launcher_); }
  ~Shell() override { SetLauncherForTesting(nullptr); }
  RecordingLauncher launcher_;
  qv::testing::TempDir dir_;
};

TEST_F(Shell, OpensAnExistingDocumentThroughTheDesktop) {
  std::string file = dir_.File("QVSync.Log");
  ASSERT_TRUE(qv::testing::WriteFile(file, "x"));
  launcher_.working = {"xdg-open"};
  EXPECT_TRUE(OpenDocument(file));
  ASSERT_EQ(launcher_.runs.size(), 1u);
  EXPECT_EQ(launcher_.runs[0], (std::vector<std::string>{"xdg-open", file}));
  EXPECT_TRUE(OpenAddress("https://example.invalid/help"));
  EXPECT_EQ(launcher_.runs.back(), (std::vector<std::string>{"xdg-open", "https://example.invalid/help"}));
  launcher_.runs.pop_back();
  EXPECT_FALSE(OpenAddress(""));
  // A missing file is not handed to anyone.
  EXPECT_FALSE(OpenDocument(dir_.File("missing.log")));
  EXPECT_EQ(launcher_.runs.size(), 1u);
}

TEST_F(Shell, TextEditorComesFromTheEnvironmentFirst) {
  qv::testing::ScopedEnv visual("VISUAL", "my-editor");
  qv::testing::ScopedEnv editor("EDITOR", std::nullopt);
  launcher_.working = {"my-editor"};
  EXPECT_TRUE(OpenInTextEditor("/x/QVSync.Log"));
  EXPECT_EQ(launcher_.runs.front(), (std::vector<std::string>{"my-editor", "/x/QVSync.Log"}));
  launcher_.working = {};
  launcher_.runs.clear();
  EXPECT_FALSE(OpenInTextEditor("/x/QVSync.Log"));
  EXPECT_GT(launcher_.runs.size(), 2u) << "every known editor is tried";
}

TEST_F(Shell, ApplicationDataFolderFollowsXdg) {
  {
    qv::testing::ScopedEnv data("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(ApplicationDataFolder(), "/data/home");
  }
  qv::testing::ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  qv::testing::ScopedEnv home("HOME", "/home/alice");
  EXPECT_EQ(ApplicationDataFolder(), "/home/alice/.local/share");
  qv::testing::ScopedEnv noHome("HOME", std::nullopt);
  EXPECT_EQ(ApplicationDataFolder(), "");
}

TEST_F(Shell, ModuleFolderIsWhereTheCodeWasLoadedFrom) {
  std::string path = ModulePath(reinterpret_cast<const void*>(&ApplicationDataFolder));
  ASSERT_FALSE(path.empty());
  EXPECT_NE(path.find("shell_test"), std::string::npos) << path;
  EXPECT_EQ(path[0], '/') << "an absolute path";
  EXPECT_EQ(ModuleFolder(reinterpret_cast<const void*>(&ApplicationDataFolder)), path.substr(0, path.rfind('/')));
  EXPECT_EQ(ModulePath(nullptr), "");
  EXPECT_TRUE(CreateFolder(dir_.File("made")));
  EXPECT_TRUE(CreateFolder(dir_.File("made")));
  EXPECT_FALSE(CreateFolder(dir_.File("no/such/parent")));
}

TEST(ProcessLauncher, ReportsWhetherTheProgramSucceeded) {
  qv::testing::TempDir dir;
  std::string file = dir.File("doc.txt");
  ASSERT_TRUE(qv::testing::WriteFile(file, "x"));
  // No launcher installed: real processes. `true` and `false` stand in for
  // an editor that works and one that does not.
  qv::testing::ScopedEnv visual("VISUAL", "true");
  EXPECT_TRUE(OpenInTextEditor(file));
}

}  // namespace
}  // namespace qv::shell
