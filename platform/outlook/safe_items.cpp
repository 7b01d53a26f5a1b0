// The safe-item wrapper library: "Redemption.Safe*Item" objects that answer
// for the Outlook item set as their Item, plus Fields(tag) for raw MAPI
// properties of the item and of its recipients. Creatable only when the
// profile says the library is installed.
#include "platform/outlook/objects.h"
#include "platform/outlook/text.h"

namespace qv::outlook::detail {

namespace {

// Forwards every member to the wrapped object, answers Fields itself, and
// wraps recipients (and their collection) so that they offer Fields too.
class SafeObject final : public Object {
 public:
  SafeObject(std::string typeName, ObjectRef inner, bool settableItem)
      : typeName_(std::move(typeName)), inner_(std::move(inner)), settableItem_(settableItem) {}

  Variant Get(std::string_view name, Args args) override {
    if (settableItem_ && EqualsNoCase(name, "Item") && args.empty())
      return inner_ ? Variant(inner_) : Variant::Nothing();
    if (EqualsNoCase(name, "Fields")) return Fields()->GetField(TagOf(RequiredArg(args, 0)));
    Variant result = Inner()->Get(name, args);
    return Wrap(result);
  }

  void Put(std::string_view name, Args args, const Variant& value) override {
    if (settableItem_ && EqualsNoCase(name, "Item") && args.empty()) {
      const ObjectRef& item = value.ToObject();
      if (!AsItem(item.get())) throw Error(kErrTypeMismatch);
      inner_ = item;
      return;
    }
    if (EqualsNoCase(name, "Fields")) return Fields()->PutField(TagOf(RequiredArg(args, 0)), value);
    Inner()->Put(name, args, value);
  }

  std::string_view TypeName() const override { return typeName_; }

 private:
  Object* Inner() {
    if (!inner_) throw Error(kErrObjectNotSet);
    return inner_.get();
  }
  FieldAccess* Fields() {
    auto* fields = dynamic_cast<FieldAccess*>(Inner());
    if (!fields) throw Error(kErrNotSupported);
    return fields;
  }
  static Variant Wrap(const Variant& result) {
    if (!result.IsObject() || result.IsNothing()) return result;
    const ObjectRef& object = result.ToObject();
    const std::string_view type = object->TypeName();
    if (type == "Recipients") return ObjectRef(std::make_shared<SafeObject>("SafeRecipients", object, false));
    if (type == "Recipient") return ObjectRef(std::make_shared<SafeObject>("SafeRecipient", object, false));
    return result;
  }

  std::string typeName_;
  ObjectRef inner_;
  bool settableItem_;
};

}  // namespace

ObjectRef MakeSafeItem(const SessionRef& session, std::string_view progId) {
  // The wrapper classes the library registers.
  static const char* const kProgIds[] = {
      "Redemption.SafeContactItem",      // contacts
      "Redemption.SafeAppointmentItem",  // appointments
      "Redemption.SafeTaskItem",         // tasks
      "Redemption.SafeDistList",         // distribution lists
      "Redemption.SafeMailItem",         // mail
  };
  for (const char* known : kProgIds) {
    if (!EqualsNoCase(known, progId)) continue;
    if (!session->data.wrapperLibraryInstalled()) break;
    return std::make_shared<SafeObject>(std::string(known).substr(11), nullptr, true);
  }
  throw Error(kErrCannotCreate);
}

}  // namespace qv::outlook::detail
