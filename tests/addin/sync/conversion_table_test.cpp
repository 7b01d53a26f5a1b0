#include "addin/sync/conversion_table.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "addin/config/sync_config.h"
#include "addin/log/activity_log.h"
#include "addin/sync/table_journal.h"
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

TEST_F(ConversionTableTest, WithoutADataDirectoryThereIsNoPathAndNothingIsWritten) {
  Config().dataDirectory = "";
  TempDir cwd;
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(cwd.path());
  EXPECT_EQ(AccountDirectory(), "");
  EXPECT_EQ(GetConversionTablePath("Contacts"), "");
  EXPECT_EQ(BatchFilePath("CONTACT"), "");
  ConversionTable table;
  table.AddItemIdConversion("1.VCF", "A", "5");
  EXPECT_FALSE(SaveUIDToEntryIDMappings(table, "Contacts", true));
  EXPECT_TRUE(ConversionTableDirty);
  ConversionTable loaded;
  GetUIDToEntryIDMappings(loaded, "Contacts");
  EXPECT_TRUE(loaded.empty());
  EXPECT_EQ(GetLastSyncTime("Contacts"), qv::outlook::MakeDate(1970, 1, 1));
  const bool nothingWritten = std::filesystem::is_empty(cwd.path());
  std::filesystem::current_path(before);
  EXPECT_TRUE(nothingWritten);
}

// Every row line is read, whatever the count line says: a row left out would
// be an item taken as never synchronised, added again on both sides.
TEST_F(ConversionTableTest, EveryRowLineLoadsWhateverTheCountLineSays) {
  GetConversionTablePath("Contacts");
  ConversionTable table;
  ASSERT_TRUE(WriteFile(Path(), " 2 \r\nA\t1.VCF\t5\r\nB\t2.VCF\t6\r\nC\t3.VCF\t7\r\n"));
  ConversionTableDirty = true;
  GetUIDToEntryIDMappings(table, "Contacts");
  EXPECT_FALSE(ConversionTableDirty);
  EXPECT_EQ(table.rows(), (std::vector<std::string>{"A\t1.VCF\t5", "B\t2.VCF\t6", "C\t3.VCF\t7"}));
  EXPECT_NE(ReadFile(dir_.File("QVSync.Log")).find("holds 3 rows, but its first line says 2; all 3 are read."),
            std::string::npos);

  ConversionTable short_;
  ASSERT_TRUE(WriteFile(Path(), "3\r\nA\t1.VCF\t5\r\nB\t2.VCF\t6\r\n"));
  GetUIDToEntryIDMappings(short_, "Contacts");
  EXPECT_EQ(short_.rows(), (std::vector<std::string>{"A\t1.VCF\t5", "B\t2.VCF\t6"}));

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

// Rows travel in the system code page; what it cannot carry (and a "%" that
// would read as that) as "%u" and the UTF-16 unit, so every UID comes back.
TEST_F(ConversionTableTest, RowsTravelInTheSystemCodePageAndComeBackWhole) {
  qv::testing::ScopedEnv codepage("QUORVIA_CODEPAGE", std::nullopt);
  const std::vector<std::pair<std::string, std::string>> uids = {
      {"Caf\xC3\xA9.VCF", "Caf\xE9.VCF"},
      {"\xCE\xA9mega-\xE4\xBB\xBB.TSK", "%u03A9mega-%u4EFB.TSK"},
      {"\xF0\x9F\x98\x80.TSK", "%uD83D%uDE00.TSK"},
      {"100%u0041.TSK", "100%u0025u0041.TSK"},
      {"100%.TSK", "100%.TSK"},
      {std::string("line\nfeed\0.TSK", 14), "line%u000Afeed%u0000.TSK"},  // would end the line
  };
  ConversionTable table;
  std::string expected = " " + std::to_string(uids.size()) + " \r\n";
  for (size_t i = 0; i < uids.size(); ++i) {
    table.AddItemIdConversion(uids[i].first, "E" + std::to_string(i), "5");
    expected += "E" + std::to_string(i) + "\t" + uids[i].second + "\t5\r\n";
  }
  ASSERT_TRUE(SaveUIDToEntryIDMappings(table, "Contacts", true));
  EXPECT_EQ(ReadFile(Path()), expected);
  ConversionTable loaded;
  GetUIDToEntryIDMappings(loaded, "Contacts");
  EXPECT_EQ(loaded.rows(), table.rows());
}

TEST_F(ConversionTableTest, EveryRowChangeReachesTheObserverAndOneItCouldNotKeepIsTold) {
  ConversionTable table;
  std::vector<std::pair<size_t, std::string>> changes;
  table.SetRowObserver([&](size_t i, const std::string& row) {
    changes.emplace_back(i, row);
    return changes.size() != 2;  // the second change is not kept
  });
  table.AddItemIdConversion("1.VCF", "A", "5");
  EXPECT_FALSE(table.RowChangesLost());
  table.UpdateItemIdConversionDate("A", "6");
  table.RemoveItemIdConversionByUID("1.VCF");
  table.SetRowQuietly(0, "A\t1.VCF\t7");  // learnt again at will: nobody is told
  EXPECT_EQ(changes, (std::vector<std::pair<size_t, std::string>>{
                         {0, "A\t1.VCF\t5"}, {0, "A\t1.VCF\t6"}, {0, "\t\t"}}));
  EXPECT_TRUE(table.RowChangesLost());
  EXPECT_EQ(table.GetUIDFromEntryID("A"), "1.VCF");
}

// --- The journal of row changes ---

class TableJournalTest : public ConversionTableTest {
 protected:
  std::string JournalPath() const { return dir_.path() + "/alice@mail.example.com/_journal_Contacts.jnl"; }
  // A table saved at a time well in the past, as an earlier run left it.
  void SaveOldTable() {
    ConversionTable table;
    table.AddItemIdConversion("1.VCF", "A", "5");
    table.AddItemIdConversion("2.VCF", "B", "6");
    ASSERT_TRUE(SaveUIDToEntryIDMappings(table, "Contacts", true));
    std::filesystem::last_write_time(Path(), std::filesystem::last_write_time(Path()) - std::chrono::hours(48));
  }
};

TEST_F(TableJournalTest, ChangesOfAnUnsavedRunAreFoldedInByTheNextLoadAndGoWithTheSave) {
  SaveOldTable();
  const auto lastSync = GetLastSyncTime("Contacts");
  {
    ConversionTable table;
    GetUIDToEntryIDMappings(table, "Contacts");
    table.AddItemIdConversion("3.VCF", "C", "7");
    table.UpdateItemIdConversionDate("A", "9");
    table.RemoveItemIdConversionByUID("2.VCF");
    // The run ends here without its save (a crash).
  }
  EXPECT_EQ(GetLastSyncTime("Contacts"), lastSync);
  EXPECT_TRUE(std::filesystem::exists(JournalPath()));

  ConversionTable table;
  GetUIDToEntryIDMappings(table, "Contacts");
  EXPECT_TRUE(ConversionTableDirty);
  EXPECT_EQ(table.rows(), (std::vector<std::string>{"A\t1.VCF\t9", "\t\t", "C\t3.VCF\t7"}));
  EXPECT_EQ(table.GetEntryIDFromUID("3.VCF"), "C");
  EXPECT_EQ(table.FindByUID("2.VCF"), -1);
  EXPECT_EQ(GetLastSyncTime("Contacts"), lastSync);

  // A change after the fold goes to the same journal; a further load still
  // sees every change once.
  table.AddItemIdConversion("4.VCF", "D", "8");
  ConversionTable reloaded;
  GetUIDToEntryIDMappings(reloaded, "Contacts");
  EXPECT_EQ(reloaded.rows(), (std::vector<std::string>{"A\t1.VCF\t9", "\t\t", "C\t3.VCF\t7", "D\t4.VCF\t8"}));

  ASSERT_TRUE(SaveUIDToEntryIDMappings(reloaded, "Contacts", false));
  EXPECT_FALSE(std::filesystem::exists(JournalPath()));
  EXPECT_EQ(ReadFile(Path()), " 3 \r\nA\t1.VCF\t9\r\nC\t3.VCF\t7\r\nD\t4.VCF\t8\r\n");
  // The saved table is the base of the next journal.
  reloaded.AddItemIdConversion("5.VCF", "E", "1");
  ConversionTable last;
  GetUIDToEntryIDMappings(last, "Contacts");
  EXPECT_EQ(last.size(), 4u);
  EXPECT_EQ(last.GetEntryIDFromUID("5.VCF"), "E");
}

TEST_F(TableJournalTest, ARecordCutShortIsDroppedAndTheNextChangeFollowsAWholeOne) {
  SaveOldTable();
  {
    ConversionTable table;
    GetUIDToEntryIDMappings(table, "Contacts");
    table.AddItemIdConversion("3.VCF", "C", "7");
  }
  // A crash in the middle of writing the next record.
  {
    std::FILE* file = std::fopen(JournalPath().c_str(), "ab");
    ASSERT_NE(file, nullptr);
    std::fputs("3 9\nD\t4.V", file);
    std::fclose(file);
  }
  ConversionTable table;
  GetUIDToEntryIDMappings(table, "Contacts");
  EXPECT_EQ(table.size(), 3u);
  table.AddItemIdConversion("5.VCF", "E", "1");
  ConversionTable reloaded;
  GetUIDToEntryIDMappings(reloaded, "Contacts");
  EXPECT_EQ(reloaded.rows(), (std::vector<std::string>{"A\t1.VCF\t5", "B\t2.VCF\t6", "C\t3.VCF\t7", "E\t5.VCF\t1"}));
}

TEST_F(TableJournalTest, AJournalOfAnotherTableFileOrNoJournalAtAllIsThrownAway) {
  SaveOldTable();
  {
    ConversionTable table;
    GetUIDToEntryIDMappings(table, "Contacts");
    table.AddItemIdConversion("3.VCF", "C", "7");
  }
  // The table was replaced since (say, restored from a backup): the journal's
  // row numbers mean nothing for it.
  ConversionTable other;
  other.AddItemIdConversion("9.VCF", "Z", "1");
  ASSERT_TRUE(SaveConversionTableFile(other, Path(), true));
  ConversionTable table;
  GetUIDToEntryIDMappings(table, "Contacts");
  EXPECT_EQ(table.rows(), (std::vector<std::string>{"Z\t9.VCF\t1"}));
  EXPECT_FALSE(ConversionTableDirty);
  EXPECT_FALSE(std::filesystem::exists(JournalPath()));

  ASSERT_TRUE(WriteFile(JournalPath(), "not a journal\n0 3\nabc\n"));
  ConversionTable again;
  GetUIDToEntryIDMappings(again, "Contacts");
  EXPECT_EQ(again.size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(JournalPath()));
}

TEST(TableJournalReader, ReadsWholeRecordsAndStopsAtDamage) {
  JournalContents contents;
  EXPECT_FALSE(ReadTableJournal("", contents));
  EXPECT_FALSE(ReadTableJournal("QVSYNC-JOURNAL 1 none", contents));  // header not ended
  const std::string text = "QVSYNC-JOURNAL 1 none\n0 5\na\nb\tc\n1 2\n\t\t\n7 x\n";
  ASSERT_TRUE(ReadTableJournal(text, contents));
  EXPECT_EQ(contents.base, "none");
  ASSERT_EQ(contents.records.size(), 2u);
  EXPECT_EQ(contents.records[0].row, "a\nb\tc");  // any bytes, by count
  EXPECT_EQ(contents.records[1].index, 1u);
  EXPECT_EQ(contents.validLength, text.size() - 4);
  // A record whose row lies beyond the table's end stops the fold there.
  ConversionTable table({"X\t1\t1"});
  const std::string gap = "QVSYNC-JOURNAL 1 none\n1 1\nY\n3 1\nZ\n1 1\nW\n";
  ASSERT_TRUE(ReadTableJournal(gap, contents));
  size_t keep = 0;
  EXPECT_EQ(FoldTableJournal(table, contents, keep), 1u);
  EXPECT_EQ(table.rows(), (std::vector<std::string>{"X\t1\t1", "Y"}));
  EXPECT_EQ(keep, gap.find("3 1"));
}

}  // namespace
}  // namespace qvsync
