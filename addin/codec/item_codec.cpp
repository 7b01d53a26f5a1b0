#include "addin/codec/item_codec.h"

#include <charconv>
#include <optional>
#include <pugixml.hpp>
#include <span>
#include <vector>

#include "addin/codec/encodings.h"
#include "addin/codec/item_xml.h"
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
Variant Field(const Variant& item, uint32_t tag) { return item.get("Fields", tag); }

enum class Form {
  kEscaped,    // EscapeValue of the text
  kNumber,     // the integer in decimal
  kBoolean,    // "True" or "False"
  kOneOrZero,  // "1" or "0"
  kDate,       // "YYYY-MM-DD-HH-mm", the item's UTC time plus its offset
  kTaskDate,   // the local date, empty for Outlook's "no date"
  kBody,       // escaped, CR LF line ends sent as LF
  kCount,      // the Count of the collection property
  kAttendees,  // the attendee list gathered beforehand, escaped
  kOffset,     // GetTimeZoneOffset, empty when it has no value
};

// One request field: its name (with "&" unless it comes first), the Outlook
// property it is read from and the form it is sent in.
struct RequestField {
  const char* name;
  const char* property;
  Form form;
};

// What the fields of one item share: the attendee list gathered beforehand,
// the time zone rule and the item's "&offset=".
struct ItemContext {
  TimeZoneRule rule;
  std::string attendees;
  std::optional<int32_t> offset;
};

std::string FieldValue(const Variant& item, const RequestField& field, const ItemContext& context) {
  const auto value = [&] { return item.get(field.property); };
  switch (field.form) {
    case Form::kEscaped:
      return Escaped(item, field.property);
    case Form::kNumber:
      return std::to_string(value().ToLong());
    case Form::kBoolean:
      return value().ToBool() ? "True" : "False";
    case Form::kOneOrZero:
      return value().ToBool() ? "1" : "0";
    case Form::kDate:
      return context.rule.ServerDate(ToLocalDateTime(value().ToDate()), context.offset.value_or(0));
    case Form::kTaskDate: {
      const Date date = value().ToDate();
      return date == qv::outlook::kNoDate ? std::string() : FormatServerDate(ToLocalDateTime(date));
    }
    case Form::kBody:
      return ReplaceAll(Escaped(item, field.property), "%u000D%u000A", "%u000A");
    case Form::kCount:
      return std::to_string(value().get("Count").ToLong());
    case Form::kAttendees:
      return EscapeValue(context.attendees);
    case Form::kOffset:
      return context.offset ? std::to_string(*context.offset) : std::string();
  }
  return std::string();
}

// Appends a group of fields in one step: a failed read leaves the whole group out.
void AppendGroup(const Variant& item, std::span<const RequestField> fields, std::string& out,
                 const ItemContext& context) {
  Guarded([&] {
    std::string group;
    for (const RequestField& field : fields)
      group.append(field.name).append(FieldValue(item, field, context));
    out += group;
  });
}

constexpr RequestField kAppointmentFields[] = {
    {"StartTime=", "Start", Form::kDate},
    {"&FinishTime=", "End", Form::kDate},
    {"&Description=", "Subject", Form::kEscaped},
    {"&Location=", "Location", Form::kEscaped},
    {"&Attendees=", nullptr, Form::kAttendees},
    {"&AllDayEvent=", "AllDayEvent", Form::kOneOrZero},
    {"&BusyStatus=", "BusyStatus", Form::kNumber},
    {"&Sensitivity=", "Sensitivity", Form::kNumber},
    {"&Importance=", "Importance", Form::kNumber},
    {"&IsRecurring=", "IsRecurring", Form::kBoolean},
    {"&ReminderMinutesBeforeStart=", "ReminderMinutesBeforeStart", Form::kNumber},
    {"&RecurrenceState=", "RecurrenceState", Form::kNumber},
    {"&ReminderSet=", "ReminderSet", Form::kBoolean},
    {"&offset=", nullptr, Form::kOffset},
};
constexpr RequestField kAppointmentNotes[] = {{"&Notes=", "Body", Form::kBody}};

constexpr RequestField kTaskFields[] = {
    {"Importance=", "Importance", Form::kNumber},
    {"&Status=", "Status", Form::kNumber},
    {"&Attachments=", "Attachments", Form::kCount},
    {"&Size=", "Size", Form::kNumber},
    {"&Sensitivity=", "Sensitivity", Form::kNumber},
    {"&StartDate=", "StartDate", Form::kTaskDate},
    {"&DueDate=", "DueDate", Form::kTaskDate},
    {"&Read=", "UnRead", Form::kBoolean},
    {"&Mileage=", "Mileage", Form::kEscaped},  // escaped: "&" and "+" would change the request
    {"&BillingInformation=", "BillingInformation", Form::kEscaped},
    {"&Companies=", "Companies", Form::kEscaped},
    {"&PercentComplete=", "PercentComplete", Form::kNumber},
    {"&Complete=", "Complete", Form::kBoolean},
    {"&TotalWork=", "TotalWork", Form::kNumber},
    {"&ActualWork=", "ActualWork", Form::kNumber},
    {"&Subject=", "Subject", Form::kEscaped},
    {"&IsRecurring=", "IsRecurring", Form::kBoolean},
    {"&offset=", nullptr, Form::kOffset},
};

constexpr RequestField kContactFields[] = {
    {"FirstName=", "FirstName", Form::kEscaped},
    {"&MiddleName=", "MiddleName", Form::kEscaped},
    {"&LastName=", "LastName", Form::kEscaped},
    {"&FullName=", "FullName", Form::kEscaped},
    {"&Title=", "Title", Form::kEscaped},
    {"&NickName=", "NickName", Form::kEscaped},
    {"&EMail=", "Email1Address", Form::kEscaped},
    {"&Business=", "CompanyName", Form::kEscaped},
    {"&Sensitivity=", "Sensitivity", Form::kNumber},
    {"&Department=", "Department", Form::kEscaped},
    {"&PhoneW=", "BusinessTelephoneNumber", Form::kEscaped},
    {"&PhoneH=", "HomeTelephoneNumber", Form::kEscaped},
    {"&PhoneM=", "MobileTelephoneNumber", Form::kEscaped},
};
constexpr RequestField kContactNote[] = {{"&Note=", "Body", Form::kBody}};

// The ten recurrence fields, when the item is recurring.
void AppendRecurrence(const Variant& item, std::string& out, const ItemContext& context) {
  Guarded([&] {
    if (item.get("IsRecurring").ToBool())
      out += RecurrenceFields(item, context.rule, context.offset.value_or(0));
  });
}

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
        std::string entry =
            address + "|" + std::to_string(recipient.get("TrackingStatus").ToLong());
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
  ItemContext context{TimeZoneRule::Current(), AttendeeList(item), std::nullopt};
  // The offset in force at the item's start (a Start that cannot be read
  // leaves the group out anyway).
  Guarded([&] { context.offset = context.rule.ItemOffset(ToLocalDateTime(item.get("Start").ToDate())); });
  AppendGroup(item, kAppointmentFields, out, context);
  AppendRecurrence(item, out, context);
  Guarded([&] {
    const Variant uid = Field(item, kTagAppointmentUid);
    if (uid.type() != qv::outlook::VarType::Bytes) return;
    const Bytes bytes = uid.ToBytes();
    // Escaped like every other value: the server decodes "+" to a space, and
    // the CR LF of a long text would end a request of a batch.
    out += "&AppointmentUID=" +
           EscapeValue(B64Encode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
  });
  Guarded([&] { out += "&From=" + EscapeValue(Field(item, kTagSentRepresentingEmail).ToText()); });
  Guarded([&] {
    out += "&SenderDisplayName=" + EscapeValue(Field(item, kTagSentRepresentingName).ToText());
  });
  AppendGroup(item, kAppointmentNotes, out, context);
}

void SerializeTask(const Variant& item, std::string& out) {
  ItemContext context{TimeZoneRule::Current(), {}, std::nullopt};
  // The offset in force at the task's start, else at its due date, else now;
  // only its recurrence dates are converted with it.
  LocalDateTime start = NowLocal();
  bool dated = false;
  for (const char* name : {"StartDate", "DueDate"}) {
    Guarded([&] {
      const Date date = item.get(name).ToDate();
      if (dated || date == qv::outlook::kNoDate) return;
      start = ToLocalDateTime(date);
      dated = true;
    });
  }
  context.offset = dated ? context.rule.ItemOffset(start) : context.rule.OffsetNow();
  AppendGroup(item, kTaskFields, out, context);
  AppendRecurrence(item, out, context);
}

void SerializeContact(const Variant& item, std::string& out) {
  const ItemContext context{TimeZoneRule::ForSource(-1), {}, std::nullopt};  // no dates
  AppendGroup(item, kContactFields, out, context);
  AppendGroup(item, kContactNote, out, context);
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

// How an element's text becomes a property value.
enum class Conversion {
  kText,          // DecodeEncodedWord
  kTextUnlessEmpty,  // the same; an empty text is not assigned
  kFullName,      // the same; not assigned when the name parts just read compose it
  kInteger,       // TextToLong: 0 when not a number
  kPassed,        // the text as it is; the property's own conversion applies
  kBoolean,       // TextToBoolean
  kServerDate,    // a UTC date text, to local time by the time zone rule
  kTaskDate,      // empty: Outlook's "no date"; else ParseServerDate without offset
};

struct ElementField {
  const char* element;
  const char* property;
  Conversion conversion;
};

Variant Converted(const std::string& text, Conversion conversion, const TimeZoneRule& rule) {
  switch (conversion) {
    case Conversion::kText:
    case Conversion::kTextUnlessEmpty:
    case Conversion::kFullName:
      return Variant(DecodeEncodedWord(text));
    case Conversion::kInteger:
      return Variant(TextToLong(text));
    case Conversion::kPassed:
      return Variant(text);
    case Conversion::kBoolean:
      return Variant(TextToBoolean(text));
    case Conversion::kServerDate:
      return Variant(ToOutlookDate(rule.LocalDate(text)));
    case Conversion::kTaskDate:
      return text.empty() ? Variant(qv::outlook::kNoDate) : Variant(ToOutlookDate(ParseServerDate(text, 0)));
  }
  return Variant();
}

// Each field in order, each in its own step: a missing element, a failed
// conversion or a rejected assignment skips that one field.
void ReadElements(const pugi::xml_node& root, const Variant& item, std::span<const ElementField> fields,
                  const TimeZoneRule& rule) {
  for (const ElementField& field : fields) {
    Guarded([&] {
      const std::optional<std::string> text = ChildText(root, field.element);
      if (!text) return;
      const Variant value = Converted(*text, field.conversion, rule);
      if (field.conversion == Conversion::kTextUnlessEmpty && value.ToText().empty()) return;
      // Outlook splits an assigned full name into parts of its own choosing
      // ("Jean Claude Van Damme": "Claude Van" / "Damme"); when the server's
      // parts already make up its full name, they are kept.
      if (field.conversion == Conversion::kFullName && item.get(field.property).ToText() == value.ToText())
        return;
      item.put(field.property, value);
    });
  }
}

constexpr ElementField kAppointmentElements[] = {
    {"NOTES", "Body", Conversion::kText},
    {"DESCRIPTION", "Subject", Conversion::kText},
    {"SENSITIVITY", "Sensitivity", Conversion::kInteger},
    {"LOCATION", "Location", Conversion::kText},
    {"STARTTIME", "Start", Conversion::kServerDate},
    {"FINISHTIME", "End", Conversion::kServerDate},
    {"ALLDAYEVENT", "AllDayEvent", Conversion::kBoolean},
    {"BUSYSTATUS", "BusyStatus", Conversion::kPassed},
    {"IMPORTANCE", "Importance", Conversion::kPassed},
    {"REMINDERSET", "ReminderSet", Conversion::kBoolean},
    {"REMINDERMINUTESBEFORESTART", "ReminderMinutesBeforeStart", Conversion::kInteger},
};

constexpr ElementField kContactElements[] = {
    {"NICKNAME", "NickName", Conversion::kText},
    {"FIRSTNAME", "FirstName", Conversion::kText},
    {"LASTNAME", "LastName", Conversion::kText},
    {"MIDDLENAME", "MiddleName", Conversion::kText},
    {"SENSITIVITY", "Sensitivity", Conversion::kInteger},
    {"FULLNAME", "FullName", Conversion::kFullName},
    {"TITLE", "Title", Conversion::kText},
    {"PHONEH", "HomeTelephoneNumber", Conversion::kText},
    {"PHONEW", "BusinessTelephoneNumber", Conversion::kText},
    {"PHONEM", "MobileTelephoneNumber", Conversion::kText},
    {"BUSINESS", "CompanyName", Conversion::kText},
    {"DEPARTMENT", "Department", Conversion::kText},
    {"NICKNAME", "FileAs", Conversion::kText},
    // An empty nickname would blank the name Outlook shows for the contact.
    {"NICKNAME", "Subject", Conversion::kTextUnlessEmpty},
    {"EMAIL", "Email1Address", Conversion::kText},
    {"NOTE", "Body", Conversion::kText},
};

constexpr ElementField kTaskElements[] = {
    {"NOTES", "Body", Conversion::kText},
    {"SENSITIVITY", "Sensitivity", Conversion::kInteger},
    {"SUBJECT", "Subject", Conversion::kText},
    {"PERCCOMP", "PercentComplete", Conversion::kPassed},
    {"STARTDATE", "StartDate", Conversion::kTaskDate},
    {"DUEDATE", "DueDate", Conversion::kTaskDate},
    {"IMPORTANCE", "Importance", Conversion::kPassed},
    {"STATUS", "Status", Conversion::kPassed},
    // What the task's request carries besides, read back so that an edit in
    // Outlook does not send them empty.
    {"READ", "UnRead", Conversion::kBoolean},
    {"MILEAGE", "Mileage", Conversion::kText},
    {"BILLINGINFORMATION", "BillingInformation", Conversion::kText},
    {"COMPANIES", "Companies", Conversion::kText},
    {"TOTALWORK", "TotalWork", Conversion::kPassed},
    {"ACTUALWORK", "ActualWork", Conversion::kPassed},
};

constexpr ElementField kDistListElements[] = {{"NAME", "Subject", Conversion::kText}};

void ReadAttendees(const pugi::xml_node& root, const Variant& item) {
  const pugi::xml_node details = root.child("ATTENDEESDETAILS");
  if (!details) return;
  for (const pugi::xml_node attendee : details.children()) {
    if (attendee.type() != pugi::node_element) continue;
    const std::string id = attendee.attribute("ID").value();
    const std::string cn = ChildText(attendee, "CN").value_or("");
    const std::string partstat = ChildText(attendee, "PARTSTAT").value_or("");
    const std::string role = ChildText(attendee, "ROLE").value_or("");
    Variant recipient;
    if (!Guarded([&] { recipient = item.get("Recipients").call("Add", cn); })) continue;
    Guarded([&] { recipient.put("Fields", {Variant(kTagEmailAddress)}, Variant(id)); });
    if (role == "OWNER")
      Guarded([&] { recipient.put("Fields", {Variant(kTagRecipientFlags)}, Variant(3)); });
    int32_t status = 0;
    if (partstat == "ACCEPTED")
      status = 3;
    else if (partstat == "TENTATIVE")
      status = 2;
    else if (partstat == "DECLINED")
      status = 4;
    if (status != 0) Guarded([&] { recipient.put("TrackingStatus", status); });
  }
}

void DeserializeAppointment(const pugi::xml_node& root, const Variant& item) {
  const TimeZoneRule rule = TimeZoneRule::Current();
  ReadElements(root, item, kAppointmentElements, rule);
  Guarded([&] {
    auto text = ChildText(root, "APPOINTMENTUID");
    if (!text || text->empty()) return;
    const std::string decoded = B64Decode(*text);
    item.put("Fields", {Variant(kTagAppointmentUid)},
             Variant(Bytes(decoded.begin(), decoded.end())));
  });
  // The sender the request carries, where the wrapper can write it.
  for (const auto& sender : {std::pair{"FROM", kTagSentRepresentingEmail},
                             std::pair{"SENDERDISPLAYNAME", kTagSentRepresentingName}}) {
    Guarded([&] {
      if (auto text = ChildText(root, sender.first))
        item.put("Fields", {Variant(sender.second)}, Variant(DecodeEncodedWord(*text)));
    });
  }
  ReadAttendees(root, item);
  Guarded([&] { item.get("Recipients").call("ResolveAll"); });
  ApplyRecurrence(root, item, rule);
}

void DeserializeContact(const pugi::xml_node& root, const Variant& item) {
  ReadElements(root, item, kContactElements, TimeZoneRule::ForSource(-1));
  Guarded([&] { item.put("FileAs", item.get("FullName")); });
}

void DeserializeTask(const pugi::xml_node& root, const Variant& item) {
  const TimeZoneRule rule = TimeZoneRule::Current();
  ReadElements(root, item, kTaskElements, rule);
  ApplyRecurrence(root, item, rule);
}

// Recipients (on a scratch item kept in `scratch`) for the contacts of
// `entryIds`, each resolved to that very contact; false, with the name that
// did not resolve so, when one does not.
bool ResolveMembers(const Variant& folder, const Variant& list, std::string_view entryIds, Variant& scratch,
                    Variant& recipients, std::string& unresolved) {
  try {
    scratch = list.get("Application").call("CreateItem", 0);
    recipients = scratch.get("Recipients");
    const Variant session = list.get("Session");
    Variant storeId;
    Guarded([&] { storeId = folder.get("StoreID"); });
    std::vector<std::pair<std::string, Variant>> added;
    for (int index = 1;; ++index) {
      const std::string entryId = GetToken(entryIds, ";", index);
      if (entryId.empty()) break;
      const std::string name = session.call("GetItemFromID", entryId, storeId).get("FullName").ToText();
      unresolved = name;
      added.emplace_back(entryId, recipients.call("Add", name));
    }
    recipients.call("ResolveAll");
    for (const auto& [entryId, recipient] : added) {
      unresolved = recipient.get("Name").ToText();
      if (!recipient.get("Resolved").ToBool()) return false;
      if (MemberContactEntryID(recipient.get("EntryID").ToText()).find(entryId) == std::string::npos) return false;
    }
    return true;
  } catch (const qv::outlook::Error&) {
    return false;
  }
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
  // The new members are resolved before the old ones go: a list whose new
  // members cannot all be found (two contacts of one name) is left as it was,
  // rather than saved empty and sent back empty.
  Variant scratch, recipients;
  std::string unresolved;
  if (!entryIds.empty() && !ResolveMembers(folder, item, entryIds, scratch, recipients, unresolved)) {
    std::string subject;
    Guarded([&] { subject = Text(item, "Subject"); });
    LogMessage("The distribution list [" + subject + "] could not be brought up to date from the server: its " +
               "member [" + unresolved + "] is not exactly one contact. It is left as it was.");
    return 0;
  }
  ReadElements(root, item, kDistListElements, TimeZoneRule::ForSource(-1));
  RemoveAllMembers(item);
  if (!entryIds.empty() && !Guarded([&] {
        item.call("AddMembers", recipients);
        item.call("Save");
      }))
    return 0;
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
    case kAppointment:
      SerializeAppointment(item, out);
      break;
    case kTask:
      SerializeTask(item, out);
      break;
    case kContact:
      SerializeContact(item, out);
      break;
    case kDistList:
      if (!SerializeDistList(item, contactsTable, out)) return std::string();
      break;
    default:
      break;
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
      // A value of spaces only is a value too.
      document.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_ws_pcdata,
                           pugi::encoding_utf8);
  if (!parsed) {
    LogMessage("Parser Error occured on item " + xml + " when deserializing XML: " + xml, 5);
    // An item whose XML does not parse is left as it was (a list is not
    // brought up to date).
    return itemClass == kDistList ? 0 : 1;
  }
  const pugi::xml_node root = document.document_element();
  switch (itemClass) {
    case kAppointment:
      DeserializeAppointment(root, item);
      return 1;
    case kContact:
      DeserializeContact(root, item);
      return 1;
    case kTask:
      DeserializeTask(root, item);
      return 1;
    case kDistList: {
      Variant listFolder = folder;
      if (listFolder.IsEmpty()) Guarded([&] { listFolder = item.get("Parent"); });
      return DeserializeDistList(document, root, item, listFolder, contactsTable);
    }
    default:
      return 1;
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
