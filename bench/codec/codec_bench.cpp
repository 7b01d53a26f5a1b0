// The item codec and the conversion table at size: 10,000 items of each class
// serialised and deserialised (each benchmark iteration is one item; the time
// per iteration is the time per item), and a table of up to 100,000 rows
// loaded, queried and saved. The lookup benchmarks run from 1,000 to 100,000
// rows: their time per lookup should stay flat.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "addin/codec/item_codec.h"
#include "addin/config/sync_config.h"

namespace {

using qv::outlook::MakeDate;
using qv::outlook::Variant;
using qvsync::ConversionTable;

// Under the sanitizers (where the suite only checks that the benchmark runs)
// a tenth of the items keeps the run short.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_CODEC_BENCH_SANITIZED 1
#endif
#endif
#ifdef QV_CODEC_BENCH_SANITIZED
constexpr int kItems = 1000;
#else
constexpr int kItems = 10000;
#endif

std::string TempPath(const std::string& name) {
  const char* base = std::getenv("TMPDIR");
  return std::string(base && *base ? base : "/tmp") + "/qv-codec-bench-" +
         std::to_string(getpid()) + "-" + name;
}

// One emulated Outlook with 10,000 unsaved items of each class.
struct Items {
  std::string path = TempPath("profile.db");
  std::shared_ptr<qv::outlook::Profile> profile;
  Variant app;
  Variant contactsFolder;
  ConversionTable contactsTable;
  std::vector<Variant> appointments, contacts, tasks, lists;

  Items() {
    std::filesystem::remove(path);
    profile = qv::outlook::Profile::Open(path);
    app = qv::outlook::StartOutlook(profile, qv::outlook::StartMode::Automation);
    contactsFolder = app.call("GetNamespace", "MAPI").call("GetDefaultFolder", 10);
    qvsync::Config().timeZoneSource = 0;
    Variant members = app.call("CreateItem", 0).get("Recipients");
    for (int i = 0; i < 3; ++i) {
      Variant c = contactsFolder.get("Items").call("Add");
      c.put("FullName", "Member " + std::to_string(i));
      c.call("Save");
      contactsTable.AddItemIdConversion(std::to_string(i) + ".VCF", c.get("EntryID").ToText(), "1");
      members.call("Add", "Member " + std::to_string(i));
    }
    members.call("ResolveAll");
    for (int i = 0; i < kItems; ++i) {
      const std::string n = std::to_string(i);
      Variant a = app.call("CreateItem", 1);
      a.put("Subject", "Meeting " + n + " about R&D");
      a.put("Location", "Room " + n);
      a.put("Start", MakeDate(2013, 5, 1 + i % 28, 9, 30));
      a.put("End", MakeDate(2013, 5, 1 + i % 28, 10, 30));
      a.put("Body", "Agenda\r\n1. Numbers\r\n2. Plans");
      if (i % 4 == 0) a.call("GetRecurrencePattern").put("Occurrences", 10);
      appointments.push_back(a);
      Variant c = app.call("CreateItem", 2);
      c.put("FullName", "Ann " + n + " Lee");
      c.put("Email1Address", "ann" + n + "@example.com");
      c.put("CompanyName", "Caf\xC3\xA9 Ltd");
      c.put("BusinessTelephoneNumber", "+49 30 " + n);
      c.put("Body", "Met at the fair\r\nlikes tea");
      contacts.push_back(c);
      Variant t = app.call("CreateItem", 3);
      t.put("Subject", "Task " + n);
      t.put("DueDate", MakeDate(2013, 6, 1 + i % 28));
      if (i % 4 == 0) t.call("GetRecurrencePattern").put("Occurrences", 5);
      tasks.push_back(t);
      Variant l = contactsFolder.get("Items").call("Add", 7);
      l.put("DLName", "List " + n);
      l.call("AddMembers", members);
      lists.push_back(l);
    }
  }
  ~Items() {
    profile.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
  }
};

Items& World() {
  static Items items;
  return items;
}

std::vector<Variant>& OfClass(int which) {
  Items& w = World();
  return which == 0 ? w.appointments : which == 1 ? w.contacts : which == 2 ? w.tasks : w.lists;
}

void BM_Serialize(benchmark::State& state) {
  std::vector<Variant>& items = OfClass(static_cast<int>(state.range(0)));
  const ConversionTable* table = &World().contactsTable;
  size_t i = 0, bytes = 0;
  for (auto _ : state) {
    const std::string text = qvsync::SerializeItem("X.VCF", items[i++ % items.size()], table);
    bytes += text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetLabel(state.range(0) == 0   ? "appointment"
                 : state.range(0) == 1 ? "contact"
                 : state.range(0) == 2 ? "task"
                                       : "distribution list");
}
BENCHMARK(BM_Serialize)->DenseRange(0, 3)->Iterations(kItems)->Unit(benchmark::kMicrosecond);

// The XML the server would send for each item (its own fields, as GET gives them).
std::string XmlFor(int which, int i) {
  const std::string n = std::to_string(i);
  switch (which) {
    case 0:
      return "<RESPONSE><RETURNVALUE>1</RETURNVALUE><NOTES>Agenda\n1. "
             "Numbers</NOTES><DESCRIPTION>Meeting " +
             n +
             "</DESCRIPTION><SENSITIVITY>0</SENSITIVITY><LOCATION>Room</LOCATION>"
             "<STARTTIME>2013-05-21-02-30</STARTTIME><FINISHTIME>2013-05-21-03-30</FINISHTIME>"
             "<ALLDAYEVENT>0</ALLDAYEVENT><BUSYSTATUS>2</BUSYSTATUS><IMPORTANCE>1</IMPORTANCE>"
             "<REMINDERSET>1</REMINDERSET><REMINDERMINUTESBEFORESTART>15</"
             "REMINDERMINUTESBEFORESTART>"
             "<RECURRENCESTATE>1</RECURRENCESTATE><ISRECURRING>" +
             std::string(i % 4 ? "0" : "1") +
             "</ISRECURRING><RECURRENCETYPE>1</RECURRENCETYPE><RECURRENCEINTERVAL>1</"
             "RECURRENCEINTERVAL>"
             "<PATTERNSTARTDATE>2013-05-21-00-00</PATTERNSTARTDATE><NOENDDATE>False</NOENDDATE>"
             "<OCCURRENCES>10</OCCURRENCES><DAYOFWEEKMASK>4</DAYOFWEEKMASK></RESPONSE>";
    case 1:
      return "<RESPONSE><RETURNVALUE>1</RETURNVALUE><NICKNAME>Annie</NICKNAME><FIRSTNAME>Ann</"
             "FIRSTNAME>"
             "<LASTNAME>Lee</LASTNAME><MIDDLENAME>" +
             n +
             "</MIDDLENAME><SENSITIVITY>0</SENSITIVITY>"
             "<FULLNAME>Ann " +
             n +
             " Lee</FULLNAME><PHONEH>1</PHONEH><PHONEW>2</PHONEW><PHONEM>3</PHONEM>"
             "<BUSINESS>=?iso-8859-1?q?Caf=E9?= Ltd</BUSINESS><DEPARTMENT>R&amp;D</DEPARTMENT>"
             "<EMAIL>ann" +
             n + "@example.com</EMAIL></RESPONSE>";
    case 2:
      return "<RESPONSE><RETURNVALUE>1</RETURNVALUE><NOTES>n</NOTES><SENSITIVITY>0</"
             "SENSITIVITY><SUBJECT>Task " +
             n +
             "</SUBJECT><PERCCOMP>25</PERCCOMP><STARTDATE></STARTDATE><DUEDATE>2013-06-01-00-00</"
             "DUEDATE>"
             "<IMPORTANCE>1</IMPORTANCE><STATUS>1</STATUS></RESPONSE>";
    default:
      return "<RESPONSE><RETURNVALUE>1</RETURNVALUE><NAME>List " + n +
             "</NAME><MEMBERS><MEMBER ID='0.VCF'/><MEMBER ID='2.VCF'/></MEMBERS></RESPONSE>";
  }
}

void BM_Deserialize(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  std::vector<Variant>& items = OfClass(which);
  std::vector<std::string> xml;
  for (int i = 0; i < 100; ++i) xml.push_back(XmlFor(which, i));
  const ConversionTable* table = &World().contactsTable;
  const Variant folder = World().contactsFolder;
  size_t i = 0;
  for (auto _ : state) {
    const int32_t result =
        qvsync::DeserializeItem(xml[i % xml.size()], items[i % items.size()], folder, table);
    if (result != 1) state.SkipWithError("not deserialised");
    ++i;
  }
  state.SetLabel(which == 0   ? "appointment"
                 : which == 1 ? "contact"
                 : which == 2 ? "task"
                              : "distribution list");
}
BENCHMARK(BM_Deserialize)->DenseRange(0, 3)->Iterations(kItems)->Unit(benchmark::kMicrosecond);

// --- the conversion table ---

std::string EntryId(size_t i) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "00000000A1B2C3D4E5F60718293A4B5C0700%012llX",
                static_cast<unsigned long long>(i * 2654435761u % 0xFFFFFFFFFFull));
  return buffer;
}

ConversionTable MakeTable(size_t rows) {
  ConversionTable table;
  for (size_t i = 0; i < rows; ++i)
    table.AddItemIdConversion(std::to_string(i) + ".VCF", EntryId(i), "12345");
  return table;
}

void BM_TableLoad(benchmark::State& state) {
  const std::string path = TempPath("ic_Contacts.tab");
  qvsync::ConversionTableDirty = true;
  qvsync::SaveConversionTableFile(MakeTable(static_cast<size_t>(state.range(0))), path, true);
  for (auto _ : state) {
    ConversionTable table;
    qvsync::LoadConversionTableFile(table, path);
    benchmark::DoNotOptimize(table.size());
  }
  std::filesystem::remove(path);
}
BENCHMARK(BM_TableLoad)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_TableSave(benchmark::State& state) {
  const std::string path = TempPath("ic_Save.tab");
  const ConversionTable table = MakeTable(static_cast<size_t>(state.range(0)));
  for (auto _ : state) qvsync::SaveConversionTableFile(table, path, true);
  std::filesystem::remove(path);
}
BENCHMARK(BM_TableSave)->Arg(100000)->Unit(benchmark::kMillisecond);

// 256 keys spread evenly over the table, made before the timing starts (few
// enough that the rows they reach stay in the cache at every size: the
// benchmark shows the cost of the lookup itself, not of memory latency).
std::vector<size_t> Probes(size_t rows) {
  std::vector<size_t> probes;
  for (size_t i = 0; i < 256; ++i) probes.push_back(i * 7919 % rows);
  return probes;
}

// One lookup from EntryID and one from UID per iteration.
void BM_TableLookup(benchmark::State& state) {
  const size_t rows = static_cast<size_t>(state.range(0));
  const ConversionTable table = MakeTable(rows);
  std::vector<std::string> entryIds, uids;
  for (size_t k : Probes(rows))
    entryIds.push_back(EntryId(k)), uids.push_back(std::to_string(k) + ".VCF");
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i++ % entryIds.size();
    benchmark::DoNotOptimize(table.GetUIDFromEntryID(entryIds[k]));
    benchmark::DoNotOptimize(table.GetEntryIDFromUID(uids[k]));
  }
}
BENCHMARK(BM_TableLookup)->RangeMultiplier(10)->Range(1000, 100000);

// The same two lookups as a plain first-match scan, for comparison.
void BM_TableLookupByScan(benchmark::State& state) {
  const size_t rows = static_cast<size_t>(state.range(0));
  const ConversionTable table = MakeTable(rows);
  std::vector<std::string> entryIds, uids;
  for (size_t k : Probes(rows))
    entryIds.push_back(EntryId(k)), uids.push_back(std::to_string(k) + ".VCF");
  const auto scan = [&](int field, const std::string& key, int result) {
    for (const std::string& row : table.rows())
      if (ConversionTable::Field(row, field) == key)
        return std::string(ConversionTable::Field(row, result));
    return std::string();
  };
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i++ % entryIds.size();
    benchmark::DoNotOptimize(scan(1, entryIds[k], 2));
    benchmark::DoNotOptimize(scan(2, uids[k], 1));
  }
}
BENCHMARK(BM_TableLookupByScan)->RangeMultiplier(10)->Range(1000, 100000);

// A distribution-list member's EntryID (header, the contact's EntryID, trailer).
void BM_TableEmbeddedLookup(benchmark::State& state) {
  const size_t rows = static_cast<size_t>(state.range(0));
  const ConversionTable table = MakeTable(rows);
  std::vector<std::string> members;
  for (size_t k : Probes(rows)) members.push_back(std::string(72, '0') + EntryId(k) + "000000");
  size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(table.GetUIDFromEmbeddedEntryID(members[i++ % members.size()]));
}
BENCHMARK(BM_TableEmbeddedLookup)->RangeMultiplier(10)->Range(1000, 100000);

}  // namespace
