#include "addin/codec/item_codec.h"

#include <charconv>
#include <optional>
#include <vector>

#include <pugixml.hpp>

#include "addin/codec/encodings.h"
#include "addin/codec/recurrence.h"
#include "addin/codec/strings.h"
#include "addin/log/activity_log.h"

namespace qvsync {

bool UseRedemption = false;

using qv::outlook::Bytes;
using qv::outlook::Date;
using qv::outlook::Variant;

namespace {

constexpr int32_t kAppointment = 26, kContact = 40, kTask = 48, kDistList = 69;

// Runs one guarded step; a failure skips it. True when it ran through.
template <typename F>
bool Guarded(F&& step) {
  try {
    step();
    return true;
  } catch (...) {
    return false;
  }
}

// --- reading properties, each in one of the request forms ---

std::string Text(const Variant& item, const char* name) { return item.get(name).ToText(); }
std::string Escaped(const Variant& item, const char* name) { return EscapeValue(Text(item, name)); }
std::string Number(const Variant& item, const char* name) {
  return std::to_string(item.get(name).ToLong());
}
std::string Boolean(const Variant& item, const char* name) {
  return item.get(name).ToBool() ? "True" : "False";
}
std::string ServerDate(Date date) {
  const qv::outlook::DateParts p = qv::outlook::SplitDate(date);
  return FormatServerDate({p.year, p.month, p.day, p.hour, p.minute, p.second});
}
std::string DateText(const Variant& item, const char* name) {
  return ServerDate(item.get(name).ToDate());
}
// A body: escaped, CR LF line ends sent as LF.
std::string EscapedBody(const Variant& item) {
  return ReplaceAll(EscapeValue(Text(item, "Body")), "%u000D%u000A", "%u000A");
}
std::string OffsetText() {
  const std::optional<int32_t> offset = GetTimeZoneOffset();
  return offset ? std::to_string(*offset) : std::string();
}
Variant Field(const Variant& item, uint32_t tag) { return item.get("Fields", tag); }

// The attendee list, gathered one recipient at a time.
std::string AttendeeList(const Variant& item) {
  std::string list;
  if (UseRedemption) {
    int32_t count = 0;
    Variant recipients;
    Guarded([&] {
      recipients = item.get("Recipients");
      count = recipients.get("Count").ToLong();
    });
    bool first = true;
    for (int32_t i = 1; i <= count; ++i) {
      Guarded([&] {
        const Variant recipient = recipients.call("Item", i);
        std::string address = recipient.get("Address").ToText();
        if (address.find('@') == std::string::npos) address = recipient.get("Name").ToText();
        std::string entry = address + "|" + std::to_string(recipient.get("TrackingStatus").ToLong());
        if (!first) list += ';';
        list += entry;
        first = false;
      });
    }
    return list;
  }
  std::string required, optional;
  Guarded([&] { required = Text(item, "RequiredAttendees"); });
  Guarded([&] { optional = Text(item, "OptionalAttendees"); });
  return required.empty() ? optional : required + ";" + optional;
}

void SerializeAppointment(const Variant& item, std::string& out) {
  const std::string attendees = AttendeeList(item);
  bool recurring = false;
  Guarded([&] {
    std::string g;
    g += "StartTime=" + DateText(item, "Start");
    g += "&FinishTime=" + DateText(item, "End");
    g += "&Description=" + Escaped(item, "Subject");
    g += "&Location=" + Escaped(item, "Location");
    g += "&Attendees=" + EscapeValue(attendees);
    g += std::string("&AllDayEvent=") + (item.get("AllDayEvent").ToBool() ? "1" : "0");
    g += "&BusyStatus=" + Number(item, "BusyStatus");
    g += "&Sensitivity=" + Number(item, "Sensitivity");
    g += "&Importance=" + Number(item, "Importance");
    recurring = item.get("IsRecurring").ToBool();
    g += std::string("&IsRecurring=") + (recurring ? "True" : "False");
    g += "&ReminderMinutesBeforeStart=" + Number(item, "ReminderMinutesBeforeStart");
    g += "&RecurrenceState=" + Number(item, "RecurrenceState");
    g += "&ReminderSet=" + Boolean(item, "ReminderSet");
    g += "&offset=" + OffsetText();
    out += g;
  });
  Guarded([&] {
    if (item.get("IsRecurring").ToBool()) out += RecurrenceFields(item);
  });
  Guarded([&] {
    const Variant uid = Field(item, kTagAppointmentUid);
    if (uid.type() != qv::outlook::VarType::Bytes) return;
    const Bytes bytes = uid.ToBytes();
    out += "&AppointmentUID=" +
           B64Encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  });
  Guarded([&] { out += "&From=" + EscapeValue(Field(item, kTagSentRepresentingEmail).ToText()); });
  Guarded([&] {
    out += "&SenderDisplayName=" + EscapeValue(Field(item, kTagSentRepresentingName).ToText());
  });
  Guarded([&] { out += "&Notes=" + EscapedBody(item); });
}

std::string TaskDate(const Variant& item, const char* name) {
  const Date date = item.get(name).ToDate();
  return date == qv::outlook::kNoDate ? std::string() : ServerDate(date);
}

void SerializeTask(const Variant& item, std::string& out) {
  Guarded([&] {
    std::string g;
    g += "Importance=" + Number(item, "Importance");
    g += "&Status=" + Number(item, "Status");
    g += "&Attachments=" + std::to_string(item.get("Attachments").get("Count").ToLong());
    g += "&Size=" + Number(item, "Size");
    g += "&Sensitivity=" + Number(item, "Sensitivity");
    g += "&StartDate=" + TaskDate(item, "StartDate");
    g += "&DueDate=" + TaskDate(item, "DueDate");
    g += "&Read=" + Boolean(item, "UnRead");
    g += "&Mileage=" + Text(item, "Mileage");
    g += "&BillingInformation=" + Escaped(item, "BillingInformation");
    g += "&Companies=" + Escaped(item, "Companies");
    g += "&PercentComplete=" + Number(item, "PercentComplete");
    g += "&Complete=" + Boolean(item, "Complete");
    g += "&TotalWork=" + Number(item, "TotalWork");
    g += "&ActualWork=" + Number(item, "ActualWork");
    g += "&Subject=" + Escaped(item, "Subject");
    g += "&IsRecurring=" + Boolean(item, "IsRecurring");
    g += "&offset=" + OffsetText();
    out += g;
  });
  Guarded([&] {
    if (item.get("IsRecurring").ToBool()) out += RecurrenceFields(item);
  });
}

void SerializeContact(const Variant& item, std::string& out) {
  Guarded([&] {
    std::string g;
    g += "FirstName=" + Escaped(item, "FirstName");
    g += "&MiddleName=" + Escaped(item, "MiddleName");
    g += "&LastName=" + Escaped(item, "LastName");
    g += "&FullName=" + Escaped(item, "FullName");
    g += "&Title=" + Escaped(item, "Title");
    g += "&NickName=" + Escaped(item, "NickName");
    g += "&EMail=" + Escaped(item, "Email1Address");
    g += "&Business=" + Escaped(item, "CompanyName");
    g += "&Sensitivity=" + Number(item, "Sensitivity");
    g += "&Department=" + Escaped(item, "Department");
    g += "&PhoneW=" + Escaped(item, "BusinessTelephoneNumber");
    g += "&PhoneH=" + Escaped(item, "HomeTelephoneNumber");
    g += "&PhoneM=" + Escaped(item, "MobileTelephoneNumber");
    out += g;
  });
  Guarded([&] { out += "&Note=" + EscapedBody(item); });
}

// False when a member contact has no server UID (the list has then been saved).
bool SerializeDistList(const Variant& item, const ConversionTable* table, std::string& out) {
  std::string members;
  int32_t count = 0;
  Variant session;
  Variant storeId;
  Guarded([&] { count = item.get("MemberCount").ToLong(); });
  Guarded([&] { session = item.get("Session"); });
  Guarded([&] { storeId = item.get("Parent").get("StoreID"); });
  for (int32_t i = 1; i <= count; ++i) {
    std::string entryId;
    const bool opened = Guarded([&] {
      entryId = MemberContactEntryID(item.call("GetMember", i).get("EntryID").ToText());
      session.call("GetItemFromID", entryId, storeId);
    });
    if (!opened) continue;
    const std::string uid = table ? table->GetUIDFromEmbeddedEntryID(entryId) : std::string();
    if (uid.empty()) {
      Guarded([&] { item.put("Subject", item.get("Subject")); });
      Guarded([&] { item.call("Save"); });
      return false;
    }
    if (i > 1) members += ';';
    members += uid;
  }
  Guarded([&] {
    std::string g = "ObjectType=Group&GroupName=" + Escaped(item, "Subject");
    g += "&Members=" + EscapeValue(members);
    out += g;
  });
  return true;
}

// --- DeserializeItem ---

// The element conversions over the root's children; a missing
// element, a failed conversion or a rejected assignment skips the one step.
class Reader {
 public:
  Reader(const pugi::xml_node& root, const Variant& item) : root_(root), item_(item) {}

  std::optional<std::string> Element(const char* name) const {
    const pugi::xml_node child = root_.child(name);
    if (!child) return std::nullopt;
    return std::string(child.text().get());
  }
  template <typename Convert>
  void Set(const char* element, const char* property, Convert convert) const {
    Guarded([&] {
      auto text = Element(element);
      if (text) item_.put(property, convert(*text));
    });
  }
  void SetText(const char* element, const char* property) const {
    Set(element, property, [](const std::string& t) { return Variant(DecodeEncodedWord(t)); });
  }
  void SetLong(const char* element, const char* property) const {
    Set(element, property, [](const std::string& t) { return Variant(TextToLong(t)); });
  }
  void SetPassed(const char* element, const char* property) const {
    Set(element, property, [](const std::string& t) { return Variant(t); });
  }
  void SetBoolean(const char* element, const char* property) const {
    Set(element, property, [](const std::string& t) { return Variant(TextToBoolean(t)); });
  }
  void SetServerDate(const char* element, const char* property, bool withOffset) const {
    Set(element, property, [&](const std::string& t) {
      const long offset = withOffset ? GetTimeZoneOffset().value_or(0) : 0;
      const LocalDateTime d = ParseServerDate(t, offset);
      return Variant(qv::outlook::MakeDate(d.year, d.month, d.day, d.hour, d.minute, d.second));
    });
  }
  void SetTaskDate(const char* element, const char* property) const {
    Set(element, property, [](const std::string& t) {
      if (t.empty()) return Variant(qv::outlook::kNoDate);
      const LocalDateTime d = ParseServerDate(t, 0);
      return Variant(qv::outlook::MakeDate(d.year, d.month, d.day, d.hour, d.minute, d.second));
    });
  }

 private:
  const pugi::xml_node& root_;
  const Variant& item_;
};

void ReadAttendees(const pugi::xml_node& root, const Variant& item) {
  const pugi::xml_node details = root.child("ATTENDEESDETAILS");
  if (!details) return;
  for (const pugi::xml_node attendee : details.children()) {
    if (attendee.type() != pugi::node_element) continue;
    const std::string id = attendee.attribute("ID").value();
    const std::string cn = attendee.child("CN").text().get();
    const std::string partstat = attendee.child("PARTSTAT").text().get();
    const std::string role = attendee.child("ROLE").text().get();
    Variant recipient;
    if (!Guarded([&] { recipient = item.get("Recipients").call("Add", cn); })) continue;
    Guarded([&] { recipient.put("Fields", {Variant(kTagEmailAddress)}, Variant(id)); });
    if (role == "OWNER")
      Guarded([&] { recipient.put("Fields", {Variant(kTagRecipientFlags)}, Variant(3)); });
    int32_t status = 0;
    if (partstat == "ACCEPTED") status = 3;
    else if (partstat == "TENTATIVE") status = 2;
    else if (partstat == "DECLINED") status = 4;
    if (status != 0) Guarded([&] { recipient.put("TrackingStatus", status); });
  }
}

void DeserializeAppointment(const pugi::xml_node& root, const Variant& item) {
  const Reader r(root, item);
  r.SetText("NOTES", "Body");
  r.SetText("DESCRIPTION", "Subject");
  r.SetLong("SENSITIVITY", "Sensitivity");
  r.SetText("LOCATION", "Location");
  r.SetServerDate("STARTTIME", "Start", true);
  r.SetServerDate("FINISHTIME", "End", true);
  r.SetBoolean("ALLDAYEVENT", "AllDayEvent");
  r.SetPassed("BUSYSTATUS", "BusyStatus");
  r.SetPassed("IMPORTANCE", "Importance");
  r.SetBoolean("REMINDERSET", "ReminderSet");
  r.SetLong("REMINDERMINUTESBEFORESTART", "ReminderMinutesBeforeStart");
  Guarded([&] {
    auto text = r.Element("APPOINTMENTUID");
    if (!text || text->empty()) return;
    const std::string decoded = B64Decode(*text);
    item.put("Fields", {Variant(kTagAppointmentUid)}, Variant(Bytes(decoded.begin(), decoded.end())));
  });
  ReadAttendees(root, item);
  Guarded([&] { item.get("Recipients").call("ResolveAll"); });
  ApplyRecurrence(root, item);
}

void DeserializeContact(const pugi::xml_node& root, const Variant& item) {
  const Reader r(root, item);
  r.SetText("NICKNAME", "NickName");
  r.SetText("FIRSTNAME", "FirstName");
  r.SetText("LASTNAME", "LastName");
  r.SetText("MIDDLENAME", "MiddleName");
  r.SetLong("SENSITIVITY", "Sensitivity");
  r.SetText("FULLNAME", "FullName");
  r.SetText("PHONEH", "HomeTelephoneNumber");
  r.SetText("PHONEW", "BusinessTelephoneNumber");
  r.SetText("PHONEM", "MobileTelephoneNumber");
  r.SetText("BUSINESS", "CompanyName");
  r.SetText("DEPARTMENT", "Department");
  r.SetText("NICKNAME", "FileAs");
  r.SetText("NICKNAME", "Subject");
  r.SetText("EMAIL", "Email1Address");
  Guarded([&] { item.put("FileAs", item.get("FullName")); });
}

void DeserializeTask(const pugi::xml_node& root, const Variant& item) {
  const Reader r(root, item);
  r.SetText("NOTES", "Body");
  r.SetLong("SENSITIVITY", "Sensitivity");
  r.SetText("SUBJECT", "Subject");
  r.SetPassed("PERCCOMP", "PercentComplete");
  r.SetTaskDate("STARTDATE", "StartDate");
  r.SetTaskDate("DUEDATE", "DueDate");
  r.SetPassed("IMPORTANCE", "Importance");
  r.SetPassed("STATUS", "Status");
  ApplyRecurrence(root, item);
}

int32_t DeserializeDistList(const pugi::xml_document& document, const pugi::xml_node& root,
                            const Variant& item, const Variant& folder,
                            const ConversionTable* table) {
  std::string entryIds;
  bool first = true;
  for (const pugi::xpath_node& member : document.select_nodes("//MEMBERS/MEMBER")) {
    const std::string uid = member.node().attribute("ID").value();
    const std::string entryId = table ? table->GetEntryIDFromUID(uid) : std::string();
    if (entryId.empty() || entryId == "[NONE]") return 0;
    if (!first) entryIds += ';';
    entryIds += entryId;
    first = false;
  }
  Reader(root, item).SetText("NAME", "Subject");
  RemoveAllMembers(item);
  if (!entryIds.empty() && AddMembersByEntryID(folder, item, entryIds) == 0) return 0;
  return 1;
}

}  // namespace

std::string MemberContactEntryID(std::string_view memberEntryId) {
  if (memberEntryId.size() < 87) return std::string(memberEntryId);
  return std::string(memberEntryId.substr(72, memberEntryId.size() - 72 - 6));
}

int32_t TextToLong(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return 0;
  return value;
}

std::string SerializeItem(const std::string& serverId, const Variant& item,
                          const ConversionTable* contactsTable) {
  std::string out;
  out.reserve(512);
  int32_t itemClass = 0;
  Guarded([&] { itemClass = item.get("Class").ToLong(); });
  switch (itemClass) {
    case kAppointment: SerializeAppointment(item, out); break;
    case kTask: SerializeTask(item, out); break;
    case kContact: SerializeContact(item, out); break;
    case kDistList:
      if (!SerializeDistList(item, contactsTable, out)) return std::string();
      break;
    default: break;
  }
  if (!serverId.empty()) {
    out += "&ID=";
    out += serverId;
  }
  return out;
}

int32_t DeserializeItem(const std::string& xml, const Variant& item, const Variant& folder,
                        const ConversionTable* contactsTable) {
  int32_t itemClass = 0;
  Guarded([&] { itemClass = item.get("Class").ToLong(); });
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) {
    LogMessage("Parser Error occured on item " + xml + " when deserializing XML: " + xml, 5);
    // A list whose XML does not parse is left untouched.
    if (itemClass == kDistList) return 0;
  }
  const pugi::xml_node root = parsed ? document.document_element() : pugi::xml_node();
  switch (itemClass) {
    case kAppointment: DeserializeAppointment(root, item); return 1;
    case kContact: DeserializeContact(root, item); return 1;
    case kTask: DeserializeTask(root, item); return 1;
    case kDistList: {
      Variant listFolder = folder;
      if (listFolder.IsEmpty()) Guarded([&] { listFolder = item.get("Parent"); });
      return DeserializeDistList(document, root, item, listFolder, contactsTable);
    }
    default: return 1;
  }
}

void RemoveAllMembers(const Variant& list) {
  Guarded([&] {
    const Variant scratch = list.get("Application").call("CreateItem", 0);
    const Variant recipients = scratch.get("Recipients");
    const int32_t count = list.get("MemberCount").ToLong();
    for (int32_t i = 1; i <= count; ++i)
      Guarded([&] { recipients.call("Add", list.call("GetMember", i).get("Name")); });
    Guarded([&] { recipients.call("ResolveAll"); });
    Guarded([&] { list.call("RemoveMembers", recipients); });
    Guarded([&] { list.call("Save"); });
  });
}

int32_t AddMembersByEntryID(const Variant& folder, const Variant& list, std::string_view entryIds) {
  try {
    const Variant scratch = list.get("Application").call("CreateItem", 0);
    const Variant recipients = scratch.get("Recipients");
    const Variant session = list.get("Session");
    Variant storeId;
    Guarded([&] { storeId = folder.get("StoreID"); });
    for (int index = 1;; ++index) {
      const std::string entryId = GetToken(entryIds, ";", index);
      if (entryId.empty()) break;
      const Variant contact = session.call("GetItemFromID", entryId, storeId);
      recipients.call("Add", contact.get("FullName"));
    }
    recipients.call("ResolveAll");
    list.call("AddMembers", recipients);
    list.call("Save");
    return 1;
  } catch (...) {
    return 0;
  }
}

// ---------------------------------------------------------------------------

namespace {

class OutlookServerItem final : public ServerItem {
 public:
  OutlookServerItem(Variant item, const ConversionTable* table, Variant folder)
      : item_(std::move(item)), table_(table), folder_(std::move(folder)) {}

  int OutlookClass() const override {
    int value = 0;
    Guarded([&] { value = item_.get("Class").ToLong(); });
    return value;
  }
  std::string Subject() const override { return Read("Subject"); }
  std::string Email1Address() const override { return Read("Email1Address"); }
  std::string SerializeItem(const std::string& serverId) const override {
    return qvsync::SerializeItem(serverId, item_, table_);
  }
  int DeserializeItem(const std::string& xml) override {
    return qvsync::DeserializeItem(xml, item_, folder_, table_);
  }

 private:
  std::string Read(const char* name) const {
    std::string value;
    Guarded([&] { value = item_.get(name).ToText(); });
    return value;
  }
  Variant item_;
  const ConversionTable* table_;
  Variant folder_;
};

}  // namespace

std::unique_ptr<ServerItem> MakeServerItem(const Variant& accessObject,
                                           const ConversionTable* contactsTable,
                                           const Variant& folder) {
  return std::make_unique<OutlookServerItem>(accessObject, contactsTable, folder);
}

}  // namespace qvsync
