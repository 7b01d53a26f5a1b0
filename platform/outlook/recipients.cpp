// Recipients and attachments of items, distribution-list members as
// recipients, and the address book that resolves them.
#include <algorithm>

#include "platform/outlook/item_object.h"

namespace qv::outlook::detail {
namespace {

// ---------------------------------------------------------------------------
// Recipients

// One recipient (or, read-only, one distribution-list member).
class RecipientObject final : public Object, public FieldAccess {
 public:
  RecipientObject(SessionRef session, std::shared_ptr<ItemState> owner,
                  std::shared_ptr<PropertyMap> values, bool member)
      : session_(std::move(session)), owner_(std::move(owner)), values_(std::move(values)),
        member_(member) {}

  Variant Get(std::string_view name, Args) override {
    if (!member_ && EqualsNoCase(name, "Resolve")) return ResolveRecipient(*session_, *values_);
    if (!member_ && EqualsNoCase(name, "Delete")) {
      auto& list = owner_->recipients;
      list.erase(std::remove(list.begin(), list.end(), values_), list.end());
      return {};
    }
    if (!member_ && EqualsNoCase(name, "Index")) {
      auto& list = owner_->recipients;
      auto it = std::find(list.begin(), list.end(), values_);
      return it == list.end() ? Variant(0) : Variant(static_cast<int>(it - list.begin() + 1));
    }
    const Property* p = Find(name);
    if (!p) throw Error(kErrNotSupported);
    auto it = values_->find(p->name);
    return it != values_->end() ? it->second : DefaultOf(p->type);
  }

  void Put(std::string_view name, Args, const Variant& value) override {
    const Property* p = Find(name);
    if (!p || p->readOnly || member_) throw Error(kErrNotSupported);
    Variant converted = CoerceTo(p->type, value);
    if (p->type == VarType::Long) CheckRange(converted.ToLong(), p->low, p->high);
    (*values_)[p->name] = std::move(converted);
  }

  std::string_view TypeName() const override { return "Recipient"; }

  Variant GetField(uint32_t tag) override {
    auto it = values_->find(KeyOf(tag));
    return it == values_->end() ? Variant() : it->second;
  }
  void PutField(uint32_t tag, const Variant& value) override {
    if (member_) throw Error(kErrNotSupported);
    (*values_)[KeyOf(tag)] = CoerceToTag(tag, value);
  }

 private:
  struct Property {
    const char* name;
    VarType type;
    bool readOnly;
    int32_t low, high;
  };
  static const Property* Find(std::string_view name) {
    static const Property kTable[] = {
        {"Name", VarType::Text, true, 1, 0},            // display name as added
        {"Address", VarType::Text, true, 1, 0},         // e-mail address once resolved
        {"EntryID", VarType::Text, true, 1, 0},         // address entry; a member's wrapped id
        {"Resolved", VarType::Bool, true, 1, 0},        // resolved against the address book
        {"Type", VarType::Long, false, 0, 3},           // 1 required/To, 2 optional/CC, 3 resource
        {"TrackingStatus", VarType::Long, false, 0, 7},  // the attendee's response
    };
    return FindByName<Property>(kTable, name);
  }
  // PR_EMAIL_ADDRESS is the recipient's address; other tags are kept raw.
  static std::string KeyOf(uint32_t tag) { return tag == 0x3003001E ? "Address" : RawFieldKey(tag); }

  SessionRef session_;
  std::shared_ptr<ItemState> owner_;
  std::shared_ptr<PropertyMap> values_;
  bool member_;
};

class RecipientsObject final : public Object {
 public:
  RecipientsObject(SessionRef session, std::shared_ptr<ItemState> owner)
      : session_(std::move(session)), owner_(std::move(owner)) {}

  Variant Get(std::string_view name, Args args) override {
    auto& list = owner_->recipients;
    if (EqualsNoCase(name, "Count")) return static_cast<int>(list.size());
    if (EqualsNoCase(name, "Item")) return Wrap(list[Index(RequiredArg(args, 0))]);
    if (EqualsNoCase(name, "Add")) {
      auto values = std::make_shared<PropertyMap>();
      (*values)["Name"] = RequiredArg(args, 0).ToText();
      (*values)["Type"] = 1;
      list.push_back(values);
      return Wrap(values);
    }
    if (EqualsNoCase(name, "Remove")) {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(Index(RequiredArg(args, 0))));
      return {};
    }
    if (EqualsNoCase(name, "ResolveAll")) {
      bool all = true;
      for (auto& r : list)
        if (!ResolveRecipient(*session_, *r)) all = false;
      return all;
    }
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "Recipients"; }
  const std::shared_ptr<ItemState>& owner() const { return owner_; }

 private:
  size_t Index(const Variant& index) {
    auto& list = owner_->recipients;
    if (index.type() == VarType::Text) {
      for (size_t i = 0; i < list.size(); ++i)
        if (EqualsNoCase((*list[i])["Name"].ToText(), index.ToText())) return i;
      throw Error(kErrNotFound);
    }
    const int32_t i = index.ToLong();
    if (i < 1 || static_cast<size_t>(i) > list.size()) throw Error(kErrNotFound);
    return static_cast<size_t>(i - 1);
  }
  Variant Wrap(const std::shared_ptr<PropertyMap>& values) {
    return ObjectRef(std::make_shared<RecipientObject>(session_, owner_, values, false));
  }

  SessionRef session_;
  std::shared_ptr<ItemState> owner_;
};

class AttachmentsObject final : public Object {
 public:
  Variant Get(std::string_view name, Args) override {
    if (EqualsNoCase(name, "Count")) return 0;
    if (EqualsNoCase(name, "Item")) throw Error(kErrNotFound);
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "Attachments"; }
};

}  // namespace

Variant GetRecipients(ItemObject& i) {
  return ObjectRef(std::make_shared<RecipientsObject>(i.sessionRef(), i.sharedState()));
}
Variant GetAttachments(ItemObject&) { return ObjectRef(std::make_shared<AttachmentsObject>()); }

ObjectRef MakeMember(ItemObject& list, const PropertyMap& member) {
  return std::make_shared<RecipientObject>(list.sessionRef(), list.sharedState(),
                                           std::make_shared<PropertyMap>(member), true);
}

// The recipients collection an argument holds; Error(13) for anything else.
std::vector<std::shared_ptr<PropertyMap>>& RecipientsArg(Args args) {
  auto* recipients = dynamic_cast<RecipientsObject*>(RequiredArg(args, 0).ToObject().get());
  if (!recipients) throw Error(kErrTypeMismatch);
  return recipients->owner()->recipients;
}

namespace {
// Recipient lists as text: the names of one recipient type, joined by "; ".
std::string NamesOfType(ItemObject& item, int32_t type) {
  std::string out;
  for (const auto& r : item.state().recipients) {
    auto t = r->find("Type");
    if (t == r->end() || t->second.ToLong() != type) continue;
    if (!out.empty()) out += "; ";
    out += (*r)["Name"].ToText();
  }
  return out;
}
void SetNamesOfType(ItemObject& item, int32_t type, const std::string& names) {
  auto& list = item.state().recipients;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const auto& r) {
                              auto t = r->find("Type");
                              return t != r->end() && t->second.ToLong() == type;
                            }),
             list.end());
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string::npos) end = names.size();
    const std::string_view name = TrimSpaces(std::string_view(names).substr(start, end - start));
    if (!name.empty()) {
      auto r = std::make_shared<PropertyMap>();
      (*r)["Name"] = std::string(name);
      (*r)["Type"] = type;
      list.push_back(r);
    }
    start = end + 1;
  }
}
}  // namespace

Variant GetRequired(ItemObject& i) { return NamesOfType(i, 1); }
Variant GetOptional(ItemObject& i) { return NamesOfType(i, 2); }
void PutRequired(ItemObject& i, const Variant& v) { SetNamesOfType(i, 1, v.ToText()); }
void PutOptional(ItemObject& i, const Variant& v) { SetNamesOfType(i, 2, v.ToText()); }

// ---------------------------------------------------------------------------
// Address book

namespace {
constexpr std::string_view kMemberHeader =
    "00000000"                          // flags
    "5156534E43434F4E54414354454E5452"  // provider of contact address entries
    "0300000004000000"                  // entry kind: a contact, e-mail address 1
    "0000000000000000";                 // reserved
constexpr std::string_view kMemberTrailer = "000000";
constexpr std::string_view kOneOffHeader =
    "00000000"
    "5156534E434F4E454F46464144445221";  // provider of one-off addresses
}  // namespace

std::string MemberEntryIdForContact(const std::string& contactEntryId) {
  return std::string(kMemberHeader) + contactEntryId + std::string(kMemberTrailer);
}

std::string OneOffEntryId(const std::string& name, const std::string& address) {
  std::string payload = name + '\0' + address + '\0';
  return std::string(kOneOffHeader) +
         HexUpper(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()) +
         std::string(kMemberTrailer);
}

bool ResolveRecipient(Session& session, PropertyMap& recipient) {
  const std::string name(TrimSpaces(recipient["Name"].ToText()));
  ProfileData& data = session.data;
  int64_t match = 0;
  int matches = 0;
  for (int64_t storeId : data.storeOrder()) {
    std::vector<int64_t> pending{data.store(storeId).root};
    while (!pending.empty()) {
      const FolderRecord& f = data.folder(pending.back());
      pending.pop_back();
      pending.insert(pending.end(), f.children.begin(), f.children.end());
      if (f.defaultItemType != 2 || f.special == kFolderDeletedItems) continue;
      for (int64_t id : f.items) {
        const ItemState& c = data.FindItem(id)->state;
        if (c.itemClass != kClassContact) continue;
        for (const char* key : {"FullName", "FileAs", "Email1Address"}) {
          auto it = c.props.find(key);
          if (it != c.props.end() && !name.empty() && EqualsNoCase(it->second.ToText(), name)) {
            if (match != id) ++matches;
            match = id;
            break;
          }
        }
      }
    }
  }
  if (matches == 1) {
    const ItemState& c = data.FindItem(match)->state;
    auto email = c.props.find("Email1Address");
    recipient["Address"] = email == c.props.end() ? std::string() : email->second.ToText();
    recipient["EntryID"] = MemberEntryIdForContact(data.ItemEntryId(match));
    recipient["Resolved"] = true;
    return true;
  }
  if (matches == 0 && name.find('@') != std::string::npos) {
    recipient["Address"] = name;
    recipient["EntryID"] = OneOffEntryId(name, name);
    recipient["Resolved"] = true;
    return true;
  }
  recipient["Resolved"] = false;
  return false;
}

}  // namespace qv::outlook::detail
