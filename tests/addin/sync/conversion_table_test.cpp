#include "addin/sync/conversion_table.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "addin/config/sync_config.h"
#include "addin/log/activity_log.h"
#include "tests/common/test_support.h"

namespace qvsync {
namespace {

using qv::testing::ReadFile;
using qv::testing::TempDir;
using qv::testing::WriteFile;

class ConversionTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Config() = SyncConfig{};
    Config().dataDirectory = dir_.path();
    Config().username = "alice";
    Config().host = "mail.example.com";
    Config().troubleshootingMode = 1;
    SetLogFilePathForTesting(dir_.File("QVSync.Log"));
    ConversionTableDirty = false;
  }
  void TearDown() override {
    SetLogFilePathForTesting("");
    SetConversionTableWriteLimitForTesting(-1);
  }
  std::string Path() const { return dir_.path() + "/alice@mail.example.com/ic_Contacts.tab"; }
  static time_t MTime(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mtime : 0;
  }
  TempDir dir_;
};

TEST_F(ConversionTableTest,
       PathIsTheSameWithAndWithoutATrailingSeparatorAndCreatesTheAccountFolder) {
  const std::string without = GetConversionTablePath("Contacts");
  Config().dataDirectory = dir_.path() + "/";
  EXPECT_EQ(GetConversionTablePath("Contacts"), without);
  EXPECT_EQ(without, Path());
  struct stat info {};
  EXPECT_EQ(::stat((dir_.path() + "/alice@mail.example.com").c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST_F(ConversionTableTest, CountLineDecidesHowManyRowsLoad) {
  GetConversionTablePath("Contacts");
  ConversionTable table;
  ASSERT_TRUE(WriteFile(Path(), " 2 \r\nA\t1.VCF\t5\r\nB\t2.VCF\t6\r\nC\t3.VCF\t7\r\n"));
  ConversionTableDirty = true;
  GetUIDToEntryIDMappings(table, "Contacts");
  EXPECT_FALSE(ConversionTableDirty);
  EXPECT_EQ(table.rows(), (std::vector<std::string>{"A\t1.VCF\t5", "B\t2.VCF\t6"}));
  EXPECT_EQ(table.GetUIDFromEntryID("C"), "");

  ConversionTable short_;
  ASSERT_TRUE(WriteFile(Path(), "3\r\nA\t1.VCF\t5\r\nB\t2.VCF\t6\r\n"));
  GetUIDToEntryIDMappings(short_, "Contacts");
  EXPECT_EQ(short_.rows(), (std::vector<std::string>{"A\t1.VCF\t5", "B\t2.VCF\t6", ""}));

  ConversionTable bad;
  ASSERT_TRUE(WriteFile(Path(), "x\r\nA\t1.VCF\t5\r\n"));
  GetUIDToEntryIDMappings(bad, "Contacts");
  EXPECT_TRUE(bad.empty());
}

TEST_F(ConversionTableTest, BlankedRowsAreLeftOutOfTheSaveAndTheCountCountsWrittenRows) {
  ConversionTable table;
  table.AddItemIdConversion("1.VCF", "A", "5");
  table.AddItemIdConversion("2.VCF", "B", "6");
  table.AddItemIdConversion("3.VCF", "C", "7");
  EXPECT_TRUE(table.RemoveItemIdConversionByUID("1.VCF"));
  EXPECT_TRUE(table.RemoveItemIdConversionByEntryID("C"));
  EXPECT_EQ(table.rows()[0], "\t\t");
  EXPECT_EQ(table.rows()[2], "\t");
  EXPECT_FALSE(table.RemoveItemIdConversionByEntryID("C"));
  EXPECT_TRUE(SaveUIDToEntryIDMappings(table, "Contacts", false));
  EXPECT_FALSE(ConversionTableDirty);
  EXPECT_EQ(ReadFile(Path()), " 1 \r\nB\t2.VCF\t6\r\n");
  EXPECT_NE(ReadFile(dir_.File("QVSync.Log")).find("\tFinished Syncronization at "),
            std::string::npos);
}

TEST_F(ConversionTableTest, FirstMatchWinsAndIndexesFollowBlanksAndRewrites) {
  ConversionTable table;
  table.AddItemIdConversion("1.VCF", "A", "5");
  table.AddItemIdConversion("2.VCF", "A", "6");
  EXPECT_EQ(table.GetUIDFromEntryID("A"), "1.VCF");
  EXPECT_TRUE(table.UpdateItemIdConversionDate("A", "9"));
  EXPECT_EQ(table.rows()[0], "A\t1.VCF\t9");
  EXPECT_TRUE(table.RemoveItemIdConversionByEntryID("A"));
  EXPECT_EQ(table.GetUIDFromEntryID("A"), "2.VCF");
  EXPECT_EQ(table.GetEntryIDFromUID("1.VCF"), "");
  EXPECT_EQ(table.GetEntryIDFromUID("2.VCF"), "A");
  table.SetRow(1, "Z\t2.VCF\t1");
  EXPECT_EQ(table.GetUIDFromEntryID("A"), "");
  EXPECT_EQ(table.GetEntryIDFromUID("2.VCF"), "Z");
}

TEST_F(ConversionTableTest, EmbeddedLookupFindsTheContainedEntryIdAndPassesOverBlankedRows) {
  ConversionTable table;
  table.AddItemIdConversion("1.VCF", "00AB", "1");
  table.AddItemIdConversion("2.VCF", "00CD", "2");
  table.AddItemIdConversion("3.VCF", "FF00CDFF", "3");
  EXPECT_EQ(table.GetUIDFromEmbeddedEntryID("XX00CDYY"), "2.VCF");
  EXPECT_EQ(table.GetUIDFromEmbeddedEntryID("00AB"), "1.VCF");
  EXPECT_EQ(table.GetUIDFromEmbeddedEntryID("FF00CDFF"), "2.VCF");  // row 2 comes first
  table.RemoveItemIdConversionByEntryID("00CD");
  EXPECT_EQ(table.GetUIDFromEmbeddedEntryID("FF00CDFF"), "3.VCF");
  EXPECT_EQ(table.GetUIDFromEmbeddedEntryID("0"), "");
}

// A plain first-match scan, the reference for the indexes.
std::string Scan(const std::vector<std::string>& rows, int keyField, std::string_view key,
                 int resultField, bool embedded) {
  for (const std::string& row : rows) {
    const std::string_view field = ConversionTable::Field(row, keyField);
    const bool match =
        embedded ? !field.empty() && key.find(field) != std::string_view::npos : field == key;
    if (match) return std::string(ConversionTable::Field(row, resultField));
  }
  return "";
}

class IndexedLookupTest : public ConversionTableTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    ConversionTableTest::SetUp();
    // A hash that sends every key to a few chains tests the chains' order.
    if (GetParam())
      SetConversionTableHashForTesting(+[](std::string_view k) { return uint32_t(k.size() % 3); });
  }
  void TearDown() override {
    SetConversionTableHashForTesting(nullptr);
    ConversionTableTest::TearDown();
  }
};
INSTANTIATE_TEST_SUITE_P(Hash, IndexedLookupTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Colliding" : "Standard"; });

TEST_P(IndexedLookupTest, IndexedLookupsEqualThePlainScanOnRandomTables) {
  std::mt19937 random(7);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const auto key = [&] { return std::string(1 + pick(3), static_cast<char>('A' + pick(4))); };
  for (int round = 0; round < 200; ++round) {
    ConversionTable table;
    for (int step = 0; step < 40; ++step) {
      switch (pick(5)) {
        case 0:
        case 1:
          table.AddItemIdConversion(key(), key(), "1");
          break;
        case 2:
          if (pick(3) == 0 && !table.empty()) {
            table.SetRow(static_cast<size_t>(pick(static_cast<int>(table.size()))),
                         key() + "\t" + key());
          } else {
            table.RemoveItemIdConversionByEntryID(key());
          }
          break;
        case 3:
          table.RemoveItemIdConversionByUID(key());
          break;
        default:
          table.UpdateItemIdConversionDate(key(), std::to_string(step));
          break;
      }
      const std::string k = key(), probe = key() + key() + key();
      ASSERT_EQ(table.GetUIDFromEntryID(k), Scan(table.rows(), 1, k, 2, false));
      ASSERT_EQ(table.GetEntryIDFromUID(k), Scan(table.rows(), 2, k, 1, false));
      ASSERT_EQ(table.GetUIDFromEmbeddedEntryID(probe), Scan(table.rows(), 1, probe, 2, true));
    }
  }
}

TEST_F(ConversionTableTest, SaveWithoutChangeLeavesTheFileAndItsTime) {
  ConversionTable table;
  table.AddItemIdConversion("1.VCF", "A", "5");
  ASSERT_TRUE(SaveUIDToEntryIDMappings(table, "Contacts", false));
  struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, Path().c_str(), old, 0), 0);
  ConversionTable loaded;
  GetUIDToEntryIDMappings(loaded, "Contacts");
  EXPECT_FALSE(SaveUIDToEntryIDMappings(loaded, "Contacts", false));
  EXPECT_EQ(MTime(Path()), 1000000);
  const qv::outlook::DateParts lastSync = qv::outlook::SplitDate(GetLastSyncTime("Contacts"));
  std::tm local{};
  const time_t t = 1000000;
  localtime_r(&t, &local);
  EXPECT_EQ(lastSync.year, local.tm_year + 1900);
  EXPECT_EQ(lastSync.minute, local.tm_min);
  EXPECT_TRUE(SaveUIDToEntryIDMappings(loaded, "Contacts", true));
  EXPECT_NE(MTime(Path()), 1000000);
  EXPECT_EQ(GetLastSyncTime("Tasks"), qv::outlook::MakeDate(1970, 1, 1));
}

TEST_F(ConversionTableTest, AFailedWriteLeavesTheOldFileWholeAndTheFlagSet) {
  ConversionTable table;
  table.AddItemIdConversion("1.VCF", "A", "5");
  ASSERT_TRUE(SaveUIDToEntryIDMappings(table, "Contacts", false));
  const std::string before = ReadFile(Path());
  for (int i = 0; i < 100; ++i)
    table.AddItemIdConversion(std::to_string(i) + ".VCF", "E" + std::to_string(i), "1");
  SetConversionTableWriteLimitForTesting(40);  // the disk fills up mid-write
  EXPECT_FALSE(SaveUIDToEntryIDMappings(table, "Contacts", false));
  EXPECT_TRUE(ConversionTableDirty);
  EXPECT_EQ(ReadFile(Path()), before);
  // No temporary file is left behind.
  EXPECT_EQ(
      system(("test $(ls '" + dir_.path() + "/alice@mail.example.com' | wc -l) -eq 1").c_str()), 0);
  SetConversionTableWriteLimitForTesting(-1);
  EXPECT_TRUE(SaveUIDToEntryIDMappings(table, "Contacts", false));
  ConversionTable loaded;
  GetUIDToEntryIDMappings(loaded, "Contacts");
  EXPECT_EQ(loaded.size(), 101u);
  EXPECT_EQ(loaded.GetUIDFromEntryID("E99"), "99.VCF");
}

// Another process saving the same table over and over, killed at a random
// moment, and one saving beside it: the file is always one whole table.
TEST_F(ConversionTableTest, KilledAndConcurrentWritersLeaveAWholeTable) {
  const auto table = [](size_t rows, const std::string& tag) {
    ConversionTable t;
    for (size_t i = 0; i < rows; ++i)
      t.AddItemIdConversion(tag + std::to_string(i) + ".VCF", "E" + std::to_string(i), "1");
    return t;
  };
  const ConversionTable small = table(1000, "a"), large = table(20000, "b");
  const std::string path = GetConversionTablePath("Contacts");
  ASSERT_TRUE(SaveConversionTableFile(small, path, true));
  for (int round = 0; round < 3; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) SaveConversionTableFile(large, path, true), SaveConversionTableFile(small, path, true);
    }
    for (int i = 0; i < 5; ++i) SaveConversionTableFile(i % 2 ? small : large, path, true);
    usleep(20000 + round * 15000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ConversionTable loaded;
    LoadConversionTableFile(loaded, path);
    ASSERT_TRUE(loaded.rows() == small.rows() || loaded.rows() == large.rows()) << loaded.size();
  }
}

TEST_F(ConversionTableTest, RowsTravelInTheSystemCodePage) {
  qv::testing::ScopedEnv codepage("QUORVIA_CODEPAGE", std::nullopt);
  ConversionTable table;
  table.AddItemIdConversion("Caf\xC3\xA9.VCF", "A", "5");
  ASSERT_TRUE(SaveUIDToEntryIDMappings(table, "Contacts", true));
  EXPECT_EQ(ReadFile(Path()), " 1 \r\nA\tCaf\xE9.VCF\t5\r\n");
  ConversionTable loaded;
  GetUIDToEntryIDMappings(loaded, "Contacts");
  EXPECT_EQ(loaded.GetEntryIDFromUID("Caf\xC3\xA9.VCF"), "A");
}

TEST_F(ConversionTableTest, EveryRowChangeReachesTheObserver) {
  ConversionTable table;
  std::vector<std::pair<size_t, std::string>> changes;
  table.SetRowObserver([&](size_t i, const std::string& row) { changes.emplace_back(i, row); });
  table.AddItemIdConversion("1.VCF", "A", "5");
  table.UpdateItemIdConversionDate("A", "6");
  table.RemoveItemIdConversionByUID("1.VCF");
  EXPECT_EQ(changes, (std::vector<std::pair<size_t, std::string>>{
                         {0, "A\t1.VCF\t5"}, {0, "A\t1.VCF\t6"}, {0, "\t\t"}}));
}

}  // namespace
}  // namespace qvsync
