// Distribution-list items: the name and the members.
#include <algorithm>
#include <cmath>

#include "platform/outlook/item_object.h"

namespace qv::outlook::detail {
namespace {

// Distribution lists: DLName is the subject.
Variant GetDLName(ItemObject& d) { return d.Value("Subject"); }
void PutDLName(ItemObject& d, const Variant& v) { d.Store("Subject", v); }
Variant GetMemberCount(ItemObject& d) { return static_cast<int>(d.state().members.size()); }

Variant CallGetMember(ItemObject& d, Args args) {
  const int32_t index = RequiredArg(args, 0).ToLong();
  auto& members = d.state().members;
  if (index < 1 || static_cast<size_t>(index) > members.size()) throw Error(kErrNotFound);
  return MakeMember(d, members[static_cast<size_t>(index - 1)]);
}
// Adds resolved recipients as members; nothing changes unless all resolve.
Variant CallAddMembers(ItemObject& d, Args args) {
  auto& recipients = RecipientsArg(args);
  for (auto& r : recipients)
    if (!(*r)["Resolved"].ToBool() && !ResolveRecipient(d.session(), *r))
      throw Error(kErrFailed, "Could not resolve \"" + (*r)["Name"].ToText() + "\".");
  auto& members = d.state().members;
  for (auto& r : recipients) {
    const std::string entryId = (*r)["EntryID"].ToText();
    if (std::any_of(members.begin(), members.end(),
                    [&](PropertyMap& m) { return m["EntryID"].ToText() == entryId; }))
      continue;
    members.push_back({{"Name", (*r)["Name"]}, {"Address", (*r)["Address"]}, {"EntryID", entryId}});
  }
  return {};
}
// Removes the members the recipients name (by address entry once resolved,
// otherwise by name).
Variant CallRemoveMembers(ItemObject& d, Args args) {
  auto& members = d.state().members;
  for (auto& r : RecipientsArg(args)) {
    const bool resolved = (*r)["Resolved"].ToBool() || ResolveRecipient(d.session(), *r);
    const std::string key = resolved ? (*r)["EntryID"].ToText() : (*r)["Name"].ToText();
    members.erase(std::remove_if(members.begin(), members.end(),
                                 [&](PropertyMap& m) {
                                   return resolved ? m["EntryID"].ToText() == key
                                                   : EqualsNoCase(m["Name"].ToText(), key);
                                 }),
                  members.end());
  }
  return {};
}

const ItemProperty kDistListProperties[] = {
    {"DLName", VarType::Text, false, 0, 1, kAny, GetDLName, PutDLName},  // the subject
    {"MemberCount", VarType::Long, true, 0, 1, kAny, GetMemberCount},    // members
};

const ItemMethodEntry kDistListMethods[] = {
    {"GetMember", CallGetMember},          // 1-based; Name, Address, EntryID
    {"AddMembers", CallAddMembers},        // a Recipients collection
    {"RemoveMembers", CallRemoveMembers},  // a Recipients collection
};

}  // namespace

const ItemClassTable& DistListClass() {
  static const ItemClassTable table = {kClassDistList, "DistListItem", "IPM.DistList", kDistListProperties, kDistListMethods};
  return table;
}

}  // namespace qv::outlook::detail
