// The emulation's object classes and the helpers they share (private).
#ifndef QV_PLATFORM_OUTLOOK_OBJECTS_H
#define QV_PLATFORM_OUTLOOK_OBJECTS_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/outlook/outlook.h"
#include "platform/outlook/profile_data.h"

namespace qv::outlook::detail {

// What every object of one running "Outlook" shares: the profile and, when
// started with a window, the explorer. Lives as long as any of its objects.
struct Session {
  std::shared_ptr<Profile> profile;
  ProfileData& data;
  ObjectRef explorer;  // Nothing when started for automation
};
using SessionRef = std::shared_ptr<Session>;

// Raw MAPI property access by 32-bit tag, offered by items and recipients to
// the safe-item wrappers. A property never set reads as Empty.
class FieldAccess {
 public:
  virtual ~FieldAccess() = default;
  virtual Variant GetField(uint32_t tag) = 0;
  virtual void PutField(uint32_t tag, const Variant& value) = 0;
};

// Assignment conversion of a value to a property's type: Error(13) when the
// value does not convert (an empty text never converts to a number or a date).
Variant CoerceTo(VarType type, const Variant& value);
// The value a property of a type has before anything was assigned.
Variant DefaultOf(VarType type);
// Checks a Long against an inclusive range (no check when low > high).
void CheckRange(int32_t value, int32_t low, int32_t high);
// The stored form of a raw MAPI property's value, converted to the tag's type.
Variant CoerceToTag(uint32_t tag, const Variant& value);
std::string RawFieldKey(uint32_t tag);
uint32_t TagOf(const Variant& tag);

// Factories.
ObjectRef MakeApplication(const SessionRef& session);
ObjectRef MakeNameSpace(const SessionRef& session);
ObjectRef MakeFolder(const SessionRef& session, int64_t folder);
ObjectRef MakeStoresFolders(const SessionRef& session);
// A handle over a stored item (its own copy of the item's content).
ObjectRef MakeStoredItem(const SessionRef& session, int64_t item);
// A new, unsaved item of an Outlook item type (OlItemType) bound for a folder.
ObjectRef MakeNewItem(const SessionRef& session, int64_t folder, int32_t itemType);
ObjectRef MakeExplorer();
ObjectRef MakeSafeItem(const SessionRef& session, std::string_view typeName);

// The Outlook item class of an OlItemType (0 mail, 1 appointment, 2 contact,
// 3 task, 7 distribution list); Error(kErrInvalidValue) for others.
int32_t ClassOfItemType(int32_t itemType);
// The default folder of a special number in the default store;
// Error(kErrNotFound) when the store has none.
int64_t DefaultFolder(const Session& session, int32_t special);

// Recipient resolution against the contacts of the profile: sets Address,
// EntryID and Resolved; false when the name names no one (or several).
bool ResolveRecipient(Session& session, PropertyMap& recipient);
// A distribution-list member's EntryID wraps the contact's EntryID
// (72 digits of header, the contact's EntryID, 6 digits of trailer).
std::string MemberEntryIdForContact(const std::string& contactEntryId);
std::string OneOffEntryId(const std::string& name, const std::string& address);

// The names of the properties an item of a class answers (for listings).
std::vector<std::string> PropertyNames(int32_t itemClass);

// The item content of an item handle, for the safe-item wrappers and the
// distribution-list operations; nullptr for other objects.
class ItemObject;
ItemObject* AsItem(Object* object);

}  // namespace qv::outlook::detail

#endif
