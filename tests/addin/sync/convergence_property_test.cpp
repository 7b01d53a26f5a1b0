// What the synchronisation promises, as a property of whole histories: rounds
// of random adds, edits and deletions on both sides (every class, lists and
// their members included, one item edited on both sides included), each
// followed by a run that meets a random fault (a batch whose reply is lost,
// an HTML or error document for a batch, a batch reply cut short, one request
// or its reply lost, the run killed at a row change, a list that cannot be
// fetched) and then one clean run. After the clean run both sides hold the
// same items, nothing twice, and every change made on one side only is there
// on both (an item changed on both sides takes Outlook's version; a deletion
// on either side wins over an edit on the other).
//
// RapidCheck drives it and shrinks a failure to its fewest rounds and changes.
// QV_CONVERGENCE_CASES (default 50) histories of up to QV_CONVERGENCE_ROUNDS
// (default 12) rounds each run from QV_CONVERGENCE_SEED (default 19); a
// failure prints its seed and an RC_PARAMS="reproduce=..." that replays the
// shrunk history. QV_CONVERGENCE_NO_SHRINK=1 reports the first failure as it
// came; QV_CONVERGENCE_LOG=1 adds the activity log to the report.
#include <gtest/gtest.h>
#include <rapidcheck.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <set>

#include "addin/codec/item_codec.h"
#include "addin/sync/table_journal.h"
#include "tests/addin/sync/sync_fixture.h"

namespace qvsync::testing {
namespace {

using Strings = std::vector<std::string>;
using qv::servlet::Fault;
using qv::servlet::Loss;

enum Cls { kTask, kAppointment, kContact, kList, kClasses };
const char* const kClassNames[] = {"TASK", "APPOINTMENT", "CONTACT", "CONTACTGROUP"};

// One change a person makes between runs.
struct Change {
  enum Kind { kAdd, kEdit, kDelete, kEditBoth, kEditAndDelete, kKinds } kind = kAdd;
  bool server = false;  // the side (kEditAndDelete: the side that deletes)
  int cls = kTask;
  int pick = 0;   // which item of the class (modulo their number)
  int value = 0;  // e-mail choice, members chosen
};

// What goes wrong in the run after the changes.
struct Trouble {
  enum Kind {
    kNone,
    kBatchReplyLost,   // carried out, the answer never comes
    kBatchAsHtml,      // an HTML page instead of a batch reply
    kBatchAsError,     // the session document instead of a batch reply
    kBatchCutShort,    // the reply answers the first `arg` requests only
    kRequestLost,      // one request (or its reply) lost
    kKilled,           // the run is killed at a row change
    kListFails,        // the list of one class cannot be fetched
    kKinds
  } kind = kNone;
  int arg = 0;
  int arg2 = 0;
};

struct Round {
  std::vector<Change> changes;
  Trouble trouble;
  bool troubledBatch = false;  // batch mode of the troubled run
  bool cleanBatch = false;     // and of the clean run
  int zone = 0;                // the time zone of the round (kZones)
  bool clockBack = false;      // the clock is set back an hour before the changes
};

// Zones far apart, one with a half-hour daylight shift.
const char* const kZones[] = {"UTC", "Asia/Tokyo", "America/New_York", "Australia/Lord_Howe"};

void showValue(const Change& c, std::ostream& os) {
  static const char* kinds[] = {"add", "edit", "delete", "edit-both", "edit+delete"};
  os << kinds[c.kind] << "(" << kClassNames[c.cls] << (c.server ? ", server" : ", outlook") << ", pick " << c.pick
     << ", value " << c.value << ")";
}
void showValue(const Trouble& t, std::ostream& os) {
  static const char* kinds[] = {"none", "batch reply lost", "batch as HTML", "batch as error", "batch cut short",
                                "request lost", "killed", "list fails"};
  os << kinds[t.kind] << "(" << t.arg << ", " << t.arg2 << ")";
}
void showValue(const Round& r, std::ostream& os) {
  os << "{changes: [";
  for (size_t i = 0; i < r.changes.size(); ++i) {
    if (i) os << ", ";
    showValue(r.changes[i], os);
  }
  os << "], trouble: ";
  showValue(r.trouble, os);
  os << (r.troubledBatch ? " batch" : " direct") << ", clean run " << (r.cleanBatch ? "batch" : "direct") << ", zone "
     << kZones[r.zone] << (r.clockBack ? ", clock set back" : "") << "}";
}

}  // namespace
}  // namespace qvsync::testing

namespace rc {
template <>
struct Arbitrary<qvsync::testing::Change> {
  static Gen<qvsync::testing::Change> arbitrary() {
    using qvsync::testing::Change;
    return gen::build<Change>(
        gen::set(&Change::kind, gen::cast<Change::Kind>(gen::weightedElement<int>(
                                    {{4, Change::kAdd}, {4, Change::kEdit}, {2, Change::kDelete},
                                     {1, Change::kEditBoth}, {1, Change::kEditAndDelete}}))),
        gen::set(&Change::server, gen::arbitrary<bool>()), gen::set(&Change::cls, gen::inRange(0, 4)),
        gen::set(&Change::pick, gen::inRange(0, 8)), gen::set(&Change::value, gen::inRange(0, 64)));
  }
};
template <>
struct Arbitrary<qvsync::testing::Trouble> {
  static Gen<qvsync::testing::Trouble> arbitrary() {
    using qvsync::testing::Trouble;
    return gen::build<Trouble>(gen::set(&Trouble::kind, gen::cast<Trouble::Kind>(gen::inRange(0, 8))),
                               gen::set(&Trouble::arg, gen::inRange(0, 12)),
                               gen::set(&Trouble::arg2, gen::inRange(0, 4)));
  }
};
template <>
struct Arbitrary<qvsync::testing::Round> {
  static Gen<qvsync::testing::Round> arbitrary() {
    using qvsync::testing::Round;
    return gen::build<Round>(
        // Up to 12 changes, each drawn from its whole range (inRange scales with the size).
        gen::set(&Round::changes, gen::resize(12, gen::container<std::vector<qvsync::testing::Change>>(
                                                      gen::resize(100, gen::arbitrary<qvsync::testing::Change>())))),
        gen::set(&Round::trouble, gen::resize(100, gen::arbitrary<qvsync::testing::Trouble>())),
        gen::set(&Round::troubledBatch, gen::arbitrary<bool>()), gen::set(&Round::cleanBatch, gen::arbitrary<bool>()),
        gen::set(&Round::zone, gen::weightedElement<int>({{6, 0}, {1, 1}, {1, 2}, {1, 3}})),
        gen::set(&Round::clockBack, gen::weightedElement<bool>({{9, false}, {1, true}})));
  }
};
}  // namespace rc

namespace rc::detail {
// The listener that prints how to reproduce a failure (RapidCheck's own).
TestListener& globalTestListener();
}  // namespace rc::detail

namespace qvsync::testing {
namespace {

long EnvNumber(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atol(value) : fallback;
}

// A person at the screen who answers Yes to every question while `yes`.
class Answering : public qv::ui::ScriptedFrontEnd {
 public:
  qv::ui::Answer ShowMessage(const qv::ui::MessageBox& box) override {
    const qv::ui::Answer answer = ScriptedFrontEnd::ShowMessage(box);
    return yes && box.buttons == qv::ui::Buttons::YesNo ? qv::ui::Answer::Yes : answer;
  }
  bool yes = false;
};

// One history: both sides, the model of what they should hold, the rounds.
class World : public SyncFixture {
 public:
  void TestBody() override {}

  World() : zone_("TZ", "UTC") {
    tzset();
    Config().calendarSyncMode = Config().contactSyncMode = Config().taskSyncMode = 1;
    profilePath_ = profile_->path();
  }

  void Play(const Round& round) {
    ++roundNumber_;
    setenv("TZ", kZones[round.zone], 1);
    tzset();
    if (round.clockBack) lead_ -= 3600;
    Advance();
    for (const Change& change : round.changes) Apply(change);
    Advance();
    Troubled(round);
    Advance();
    // Someone at the screen answers the deletion guard.
    Attended(true);
    answering_.yes = true;
    Config().batchMode = round.cleanBatch ? 1 : 0;
    Sync();
    answering_.yes = false;
    Attended(false);
    Settle();
    Check();
  }

 private:
  struct Item {
    int cls = kTask;
    std::string name;
    std::string email;
    std::set<std::string> members;  // keys of contacts (lists)
  };
  // What a side did to an item this round.
  struct Touch {
    bool added = false, deleted = false;
    std::optional<Item> outlookEdit, serverEdit;
  };

  static std::string KeyOf(const std::string& name) { return name.substr(0, name.find(' ')); }

  // --- The two sides ---

  Variant FolderOf(int cls) const { return Folder(cls == kTask ? "TASK" : cls == kAppointment ? "APPOINTMENT" : "CONTACT"); }

  // A contact is known by its full name (its subject may differ).
  Variant OutlookItemOf(const std::string& key, int cls) const {
    for (const auto& summary : qv::outlook::ListItems(FolderOf(cls))) {
      const bool list = summary.itemClass == kClassDistributionList;
      if ((cls == kList) != list) continue;
      Variant item = qv::outlook::OpenItem(application_, summary.entryId);
      if (KeyOf(item.get(cls == kContact ? "FullName" : "Subject").ToText()) == key) return item;
    }
    return Variant::Nothing();
  }

  std::optional<qv::servlet::StoredItem> ServerItemOf(const std::string& key, int cls) {
    for (const auto& item : servlet_.ListItems(kUser, kClassNames[cls]))
      if (KeyOf(Field(item, NameField(cls))) == key) return item;
    return std::nullopt;
  }

  static const char* NameField(int cls) {
    return cls == kTask ? "Subject" : cls == kAppointment ? "Description" : cls == kContact ? "FullName" : "GroupName";
  }

  std::string ServerUidOfContact(const std::string& key) {
    auto item = ServerItemOf(key, kContact);
    return item ? item->uid : "";
  }

  Variant Recipients(const std::set<std::string>& keys) {
    Variant scratch = application_.call("CreateItem", 0);
    Variant recipients = scratch.get("Recipients");
    for (const std::string& key : keys) {
      Variant contact = OutlookItemOf(key, kContact);
      if (!contact.IsNothing()) recipients.call("Add", contact.get("FullName").ToText());
    }
    recipients.call("ResolveAll");
    return recipients;
  }

  void WriteOutlook(Variant item, const Item& content) {
    if (content.cls == kContact) {
      item.put("FullName", content.name);
      if (!content.email.empty()) item.put("Email1Address", content.email);
    } else if (content.cls == kList) {
      item.put("DLName", content.name);
      const int32_t count = item.get("MemberCount").ToLong();
      if (count > 0) {
        Variant scratch = application_.call("CreateItem", 0);
        Variant old = scratch.get("Recipients");
        for (int32_t i = 1; i <= count; ++i) old.call("Add", item.call("GetMember", i).get("Name").ToText());
        item.call("RemoveMembers", old);
      }
      if (!content.members.empty()) item.call("AddMembers", Recipients(content.members));
    } else {
      item.put("Subject", content.name);
      if (content.cls == kAppointment) {
        item.put("Start", qv::outlook::MakeDate(2030, 1, 15, 10, 0));
        item.put("End", qv::outlook::MakeDate(2030, 1, 15, 11, 0));
      }
    }
    item.call("Save");
  }

  qv::servlet::FormFields ServerFields(const Item& content) {
    if (content.cls == kContact)
      return {{"FirstName", KeyOf(content.name)}, {"LastName", content.name.substr(content.name.find(' ') + 1)},
              {"FullName", content.name}, {"EMail", content.email}};
    if (content.cls == kList) {
      std::string members;
      for (const std::string& key : content.members) {
        if (!members.empty()) members += ";";
        members += ServerUidOfContact(key);
      }
      return {{"ObjectType", "Group"}, {"GroupName", content.name}, {"Members", members}};
    }
    if (content.cls == kAppointment)
      return {{"StartTime", "2030-01-15-09-00"}, {"FinishTime", "2030-01-15-10-00"}, {"Description", content.name},
              {"AllDayEvent", "0"}};
    return {{"Subject", content.name}};
  }

  // --- Changes ---

  std::vector<std::string> Alive(int cls, bool touchable) const {
    std::vector<std::string> keys;
    for (const auto& [key, item] : model_) {
      if (item.cls != cls) continue;
      auto touch = touched_.find(key);
      if (touchable && touch != touched_.end() && (touch->second.added || touch->second.deleted)) continue;
      keys.push_back(key);
    }
    return keys;
  }

  // Contacts that no list holds can be deleted without leaving a list with a
  // member nobody has (which neither side can carry).
  bool IsMember(const std::string& key) const {
    for (const auto& [listKey, item] : model_)
      if (item.cls == kList && item.members.count(key) != 0) return true;
    for (const auto& [listKey, touch] : touched_) {
      if (touch.outlookEdit && touch.outlookEdit->members.count(key) != 0) return true;
      if (touch.serverEdit && touch.serverEdit->members.count(key) != 0) return true;
    }
    return false;
  }

  // Members for a list on one side: contacts that side has (not deleted, not
  // just added on the other side).
  std::set<std::string> ChooseMembers(int value, bool server) const {
    std::set<std::string> members;
    const std::vector<std::string> contacts = Alive(kContact, false);
    for (size_t i = 0; i < contacts.size() && i < 6; ++i) {
      const auto touch = touched_.find(contacts[i]);
      if (touch != touched_.end() && (touch->second.deleted || (touch->second.added && addedOn_.at(contacts[i]) != server)))
        continue;
      if ((value >> i) & 1) members.insert(contacts[i]);
    }
    return members;
  }

  void Apply(const Change& change) {
    if (change.kind == Change::kAdd) {
      Add(change);
      return;
    }
    std::vector<std::string> keys = Alive(change.cls, true);
    if (change.cls == kContact && (change.kind == Change::kDelete || change.kind == Change::kEditAndDelete)) {
      keys.erase(std::remove_if(keys.begin(), keys.end(), [this](const std::string& k) { return IsMember(k); }),
                 keys.end());
    }
    if (keys.empty()) return;
    const std::string key = keys[static_cast<size_t>(change.pick) % keys.size()];
    switch (change.kind) {
      case Change::kEdit:
        Edit(key, change.server, change.value);
        break;
      case Change::kDelete:
        Delete(key, change.server);
        break;
      case Change::kEditBoth:
        Edit(key, false, change.value);
        Edit(key, true, change.value + 1);
        break;
      case Change::kEditAndDelete:
        Edit(key, !change.server, change.value);
        Delete(key, change.server);
        break;
      default:
        break;
    }
  }

  void Add(const Change& change) {
    static const char* const kEmails[] = {"", "a@x.example", "a@x.example", "a+b@x.example", "r&d@x.example",
                                          "\xCE\xA9@x.example"};
    Item item;
    item.cls = change.cls;
    const std::string key = std::string("K") + std::to_string(++keys_);
    item.name = key + " a" + std::to_string(roundNumber_);
    if (item.cls == kContact) item.email = kEmails[change.value % 6];
    if (item.cls == kList) item.members = ChooseMembers(change.value, change.server);
    if (change.server) {
      servlet_.AddItem(kUser, kClassNames[item.cls], ServerFields(item));
    } else {
      Variant made = item.cls == kList ? FolderOf(kList).get("Items").call("Add", 7)
                                       : FolderOf(item.cls).get("Items").call("Add");
      WriteOutlook(made, item);
    }
    model_[key] = item;
    touched_[key].added = true;
    addedOn_[key] = change.server;
  }

  void Edit(const std::string& key, bool server, int value) {
    Touch& touch = touched_[key];
    Item content = touch.outlookEdit && !server ? *touch.outlookEdit
                   : touch.serverEdit && server ? *touch.serverEdit
                                                : model_[key];
    content.name = key + (server ? " s" : " o") + std::to_string(roundNumber_) + "." + std::to_string(value);
    if (content.cls == kList && value % 2 == 1) content.members = ChooseMembers(value / 2, server);
    if (server) {
      auto stored = ServerItemOf(key, content.cls);
      if (!stored) return;
      servlet_.ChangeItem(kUser, stored->uid, ServerFields(content));
      touch.serverEdit = content;
    } else {
      Variant item = OutlookItemOf(key, content.cls);
      if (item.IsNothing()) return;
      WriteOutlook(item, content);
      touch.outlookEdit = content;
    }
  }

  void Delete(const std::string& key, bool server) {
    const int cls = model_[key].cls;
    if (server) {
      auto stored = ServerItemOf(key, cls);
      if (stored) servlet_.DeleteItem(kUser, stored->uid);
    } else {
      Variant item = OutlookItemOf(key, cls);
      if (!item.IsNothing()) qv::outlook::DeleteItem(item);
    }
    touched_[key].deleted = true;
  }

  // What both sides should hold now.
  void Settle() {
    for (auto& [key, touch] : touched_) {
      if (touch.deleted) {
        model_.erase(key);
      } else if (touch.outlookEdit) {
        model_[key] = *touch.outlookEdit;
      } else if (touch.serverEdit) {
        model_[key] = *touch.serverEdit;
      }
    }
    touched_.clear();
  }

  // --- The troubled run ---

  void Troubled(const Round& round) {
    Config().batchMode = round.troubledBatch ? 1 : 0;
    const Trouble& t = round.trouble;
    static const char* const kPrefixes[] = {"ADD-", "EDIT-", "DELETE-", "GET-", "BATCH", ""};
    switch (t.kind) {
      case Trouble::kNone:
        break;
      case Trouble::kBatchReplyLost:
        servlet_.SetFault(Fault::kDropAfterBatch);
        break;
      case Trouble::kBatchAsHtml:
        servlet_.SetFault(Fault::kBatchAsHtml);
        break;
      case Trouble::kBatchAsError:
        servlet_.SetFault(Fault::kBatchAsError);
        break;
      case Trouble::kBatchCutShort:
        servlet_.SetBatchReplyLimit(static_cast<size_t>(t.arg));
        break;
      case Trouble::kRequestLost:
        servlet_.LoseRequest(kPrefixes[t.arg % 6], 1 + t.arg2 % 3, t.arg % 2 ? Loss::kReply : Loss::kRequest);
        break;
      case Trouble::kKilled:
        KilledRun(1 + t.arg * 2, t.arg2 % 2 == 1);
        return;
      case Trouble::kListFails:
        servlet_.SetCannedReply(std::string("LIST-") + kClassNames[t.arg % 3] + "S",
                                std::string("<RESPONSE><RETURNVALUE>0</RETURNVALUE></RESPONSE>"));
        break;
      default:
        break;
    }
    Sync();
    servlet_.SetFault(Fault::kNone);
    servlet_.SetBatchReplyLimit(std::nullopt);
    servlet_.LoseRequest("no such command", 1, Loss::kRequest);
    for (const char* cls : {"TASK", "APPOINTMENT", "CONTACT"})
      servlet_.SetCannedReply(std::string("LIST-") + cls + "S", std::nullopt);
  }

  // A run in a process of its own, killed right before or after its
  // `change`-th row change (or ending on its own before that).
  void KilledRun(long change, bool before) {
    // No connection to the profile crosses the fork.
    AddinState() = AddinStateRecord{};
    application_ = Variant();
    profile_.reset();
    std::cout.flush();
    const pid_t child = fork();
    if (child == 0) {
      profile_ = qv::outlook::Profile::Open(profilePath_);
      profile_->SetClock([this] { return qv::outlook::AddSeconds(qv::outlook::LocalNow(), lead_); });
      Attended(false);
      SetKillAtRowChangeForTesting(before ? 0 : change, before ? change : 0);
      modSynchronize::SynchronizeAll();
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    profile_ = qv::outlook::Profile::Open(profilePath_);
    profile_->SetClock([this] { return qv::outlook::AddSeconds(qv::outlook::LocalNow(), lead_); });
    Attended(false);
    // The tables the child saved take the clock's lead, as Sync gives them;
    // one with a journal was not saved since (and its journal names its time).
    for (const auto& [path, time] : TableTimes()) {
      const std::filesystem::path table(path);
      const std::string folder = table.filename().string().substr(3, table.filename().string().size() - 7);
      if (std::filesystem::exists(table.parent_path() / ("_journal_" + folder + ".jnl"))) continue;
      if (std::chrono::file_clock::now() - time < std::chrono::seconds(30))
        std::filesystem::last_write_time(path, time + std::chrono::seconds(static_cast<long>(lead_)));
    }
  }

  // --- The check ---

  std::string OutlookText(const Variant& item) const {
    const int32_t itemClass = item.get("Class").ToLong();
    if (itemClass == kClassContact)
      return "C|" + item.get("FullName").ToText() + "|" + item.get("Email1Address").ToText();
    if (itemClass == kClassDistributionList) {
      std::set<std::string> members;
      for (int32_t i = 1; i <= item.get("MemberCount").ToLong(); ++i) {
        Variant contact = qv::outlook::OpenItem(
            application_, MemberContactEntryID(item.call("GetMember", i).get("EntryID").ToText()));
        members.insert(KeyOf(contact.get("FullName").ToText()));
      }
      return ListText(item.get("Subject").ToText(), members);
    }
    return std::string(itemClass == kClassAppointment ? "A|" : "T|") + item.get("Subject").ToText();
  }

  static std::string ListText(const std::string& name, const std::set<std::string>& members) {
    std::string text = "L|" + name + "|";
    for (const std::string& key : members) text += key + ",";
    return text;
  }

  Strings OutlookSide() const {
    Strings texts;
    for (int cls : {kTask, kAppointment, kContact})
      for (const auto& summary : qv::outlook::ListItems(FolderOf(cls)))
        texts.push_back(OutlookText(qv::outlook::OpenItem(application_, summary.entryId)));
    std::sort(texts.begin(), texts.end());
    return texts;
  }

  Strings ServerSide() {
    std::map<std::string, std::string> contactKeys;  // UID -> key
    for (const auto& item : servlet_.ListItems(kUser, "CONTACT")) contactKeys[item.uid] = KeyOf(Field(item, "FullName"));
    Strings texts;
    for (int cls = 0; cls < kClasses; ++cls) {
      for (const auto& item : servlet_.ListItems(kUser, kClassNames[cls])) {
        if (cls == kList) {
          std::set<std::string> members;
          std::string list = Field(item, "Members");
          for (size_t start = 0; start < list.size();) {
            const size_t end = std::min(list.find(';', start), list.size());
            const std::string uid = list.substr(start, end - start);
            if (!uid.empty()) members.insert(contactKeys.count(uid) ? contactKeys[uid] : "?" + uid);
            start = end + 1;
          }
          texts.push_back(ListText(Field(item, "GroupName"), members));
        } else if (cls == kContact) {
          texts.push_back("C|" + Field(item, "FullName") + "|" + Field(item, "EMail"));
        } else {
          texts.push_back(std::string(cls == kTask ? "T|" : "A|") + Field(item, NameField(cls)));
        }
      }
    }
    std::sort(texts.begin(), texts.end());
    return texts;
  }

  Strings Expected() const {
    Strings texts;
    for (const auto& [key, item] : model_) {
      if (item.cls == kContact) texts.push_back("C|" + item.name + "|" + item.email);
      else if (item.cls == kList) texts.push_back(ListText(item.name, item.members));
      else texts.push_back(std::string(item.cls == kTask ? "T|" : "A|") + item.name);
    }
    std::sort(texts.begin(), texts.end());
    return texts;
  }

  static std::string Show(const Strings& texts) {
    std::string out;
    for (const std::string& text : texts) out += "  " + text + "\n";
    return out;
  }

  void Check() {
    const Strings outlook = OutlookSide(), server = ServerSide(), expected = Expected();
    if (outlook == expected && server == expected) return;
    std::string log;
    for (const std::string& line : LogLines()) log += "    " + line + "\n";
    RC_FAIL("after round " + std::to_string(roundNumber_) + "\nexpected:\n" + Show(expected) + "outlook:\n" +
            Show(outlook) + "server:\n" + Show(server) + (std::getenv("QV_CONVERGENCE_LOG") ? "log:\n" + log : ""));
  }

  qv::testing::ScopedEnv zone_;
  Answering answering_;
  qv::ui::ScopedFrontEnd installedAnswering_{&answering_};
  std::string profilePath_;
  std::map<std::string, Item> model_;
  std::map<std::string, Touch> touched_;
  std::map<std::string, bool> addedOn_;  // key -> added on the server
  int keys_ = 0;
  int roundNumber_ = 0;
};

TEST(Convergence, AfterEveryCleanRunBothSidesHoldTheSameItemsAndNoChangeIsLost) {
  rc::detail::TestParams params;
  params.seed = static_cast<uint64_t>(EnvNumber("QV_CONVERGENCE_SEED", 19));
  params.maxSuccess = static_cast<int>(EnvNumber("QV_CONVERGENCE_CASES", 50));
  params.maxSize = 100;
  params.disableShrinking = EnvNumber("QV_CONVERGENCE_NO_SHRINK", 0) != 0;
  const int maxRounds = static_cast<int>(EnvNumber("QV_CONVERGENCE_ROUNDS", 12));
  long rounds = 0;
  rc::detail::TestMetadata metadata;
  metadata.id = "Convergence";
  metadata.description = "both sides agree after a clean run";
  // RC_PARAMS="reproduce=..." (printed with a failure) replays the shrunk
  // history at once.
  const auto result = rc::detail::checkProperty(
      rc::detail::toProperty([&] {
        const auto history = *rc::gen::resize(
            maxRounds, rc::gen::nonEmpty(rc::gen::container<std::vector<Round>>(rc::gen::resize(100, rc::gen::arbitrary<Round>()))));
        World world;
        for (const Round& round : history) {
          world.Play(round);
          ++rounds;
        }
      }),
      metadata, params, rc::detail::globalTestListener(), rc::detail::configuration().reproduce);
  std::cout << "convergence: seed " << params.seed << ", " << params.maxSuccess << " histories, " << rounds
            << " rounds played\n";
  if (!result.template is<rc::detail::SuccessResult>()) {
    std::ostringstream message;
    rc::detail::printResultMessage(result, message);
    FAIL() << message.str() << "\nreplay with QV_CONVERGENCE_SEED=" << params.seed;
  }
}

}  // namespace
}  // namespace qvsync::testing
