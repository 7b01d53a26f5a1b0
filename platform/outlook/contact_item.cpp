// Contact items: the full name, its parts, the subject and FileAs.
#include <algorithm>
#include <cmath>

#include "platform/outlook/item_object.h"

namespace qv::outlook::detail {
namespace {

// Contacts: the full name and its parts follow each other.
std::string JoinWords(std::initializer_list<std::string> words) {
  std::string out;
  for (const std::string& w : words) {
    if (w.empty()) continue;
    if (!out.empty()) out += ' ';
    out += w;
  }
  return out;
}
void ComposeFullName(ItemObject& c) {
  c.Store("FullName", JoinWords({c.Text("FirstName"), c.Text("MiddleName"), c.Text("LastName"),
                                 c.Text("Suffix")}));
  c.Erase("Subject");  // a contact's subject follows its name
}
void PutNamePart(ItemObject& c, const std::string& part, const Variant& v) {
  c.Store(part, v);
  ComposeFullName(c);
}
void PutFirstName(ItemObject& c, const Variant& v) { PutNamePart(c, "FirstName", v); }
void PutMiddleName(ItemObject& c, const Variant& v) { PutNamePart(c, "MiddleName", v); }
void PutLastName(ItemObject& c, const Variant& v) { PutNamePart(c, "LastName", v); }
void PutSuffix(ItemObject& c, const Variant& v) { PutNamePart(c, "Suffix", v); }
// "First Middle... Last", or "Last, First Middle..."; one word is a first name.
void PutFullName(ItemObject& c, const Variant& v) {
  const std::string text = v.ToText();
  std::vector<std::string> words;
  std::string last;
  std::string_view rest = text;
  if (const size_t comma = text.find(','); comma != std::string::npos) {
    last = std::string(TrimSpaces(rest.substr(0, comma)));
    rest = rest.substr(comma + 1);
  }
  size_t pos = 0;
  while (pos < rest.size()) {
    while (pos < rest.size() && (rest[pos] == ' ' || rest[pos] == '\t')) ++pos;
    size_t end = pos;
    while (end < rest.size() && rest[end] != ' ' && rest[end] != '\t') ++end;
    if (end > pos) words.emplace_back(rest.substr(pos, end - pos));
    pos = end;
  }
  if (last.empty() && words.size() >= 2) {
    last = words.back();
    words.pop_back();
  }
  std::string first = words.empty() ? std::string() : words.front();
  std::string middle;
  for (size_t i = 1; i < words.size(); ++i) middle = JoinWords({middle, words[i]});
  c.Store("FirstName", first);
  c.Store("MiddleName", middle);
  c.Store("LastName", last);
  c.Store("Suffix", std::string());
  ComposeFullName(c);
}
Variant GetContactSubject(ItemObject& c) {
  auto it = c.state().props.find("Subject");
  return it != c.state().props.end() ? it->second : c.Value("FullName");
}
// Unless assigned, a contact is filed as "Last, First Middle".
Variant GetFileAs(ItemObject& c) {
  auto it = c.state().props.find("FileAs");
  if (it != c.state().props.end()) return it->second;
  const std::string last = c.Text("LastName");
  const std::string given = JoinWords({c.Text("FirstName"), c.Text("MiddleName")});
  if (last.empty() && given.empty()) return c.Value("CompanyName");
  if (last.empty()) return given;
  return given.empty() ? last : last + ", " + given;
}

const ItemProperty kContactProperties[] = {
    {"FirstName", VarType::Text, false, 0, 1, kAny, nullptr, PutFirstName},    // recomposes FullName
    {"MiddleName", VarType::Text, false, 0, 1, kAny, nullptr, PutMiddleName},  // recomposes FullName
    {"LastName", VarType::Text, false, 0, 1, kAny, nullptr, PutLastName},      // recomposes FullName
    {"Suffix", VarType::Text, false, 0, 1, kAny, nullptr, PutSuffix},          // recomposes FullName
    {"FullName", VarType::Text, false, 0, 1, kAny, nullptr, PutFullName},      // split into parts
    {"Subject", VarType::Text, false, 0x0037001E, 1, kAny, GetContactSubject},  // the full name unless set
    {"FileAs", VarType::Text, false, 0, 1, kAny, GetFileAs},                   // "Last, First" unless set
    {"Title", VarType::Text},                                                  // "Dr."
    {"NickName", VarType::Text},                                               // nickname
    {"Email1Address", VarType::Text},                                          // e-mail address
    {"CompanyName", VarType::Text},                                            // company
    {"Department", VarType::Text},                                             // department
    {"JobTitle", VarType::Text},                                               // job title
    {"BusinessTelephoneNumber", VarType::Text},                                // work phone
    {"HomeTelephoneNumber", VarType::Text},                                    // home phone
    {"MobileTelephoneNumber", VarType::Text},                                  // mobile phone
};

}  // namespace

const ItemClassTable& ContactClass() {
  static const ItemClassTable table = {kClassContact, "ContactItem", "IPM.Contact", kContactProperties, {}};
  return table;
}

}  // namespace qv::outlook::detail
