// The emulated Outlook: a late-bound object model over a profile kept in one
// SQLite file, with the Office command bars of the explorer window and the
// safe-item wrapper library ("Redemption.Safe*Item").
//
// Everything is reached the way the add-in reaches Outlook: by name, through
// `Variant` values that hold objects, with failures thrown as `Error` (a COM
// error number and description). Property and method names compare without
// regard to case.
//
// Threads: the whole model lives on the one thread that opened the profile
// (Outlook's user-interface thread); nothing here is synchronised.
//
// Ownership: objects are reference counted (`ObjectRef`); a `Variant` holding
// an object keeps it alive. Item objects are handles: each holds its own
// working copy of the item, which reaches the profile only through `Save`.
//
// Outlook's behaviours kept here, because callers depend on them:
// - assignment converts the value to the property's type or fails with 13
//   (an empty text never becomes a number or a date); enumerations out of
//   range fail with kErrInvalidValue; read-only properties fail with 438;
// - EntryIDs are upper-case hexadecimal texts, assigned by the first Save and
//   kept when the item moves to "Deleted Items"; never reused;
// - Save moves LastModificationTime to the profile's clock (LocalNow: seconds);
//   Delete moves to the store's "Deleted Items", and deleting there removes
//   the item for good (GetItemFromID then fails with kErrNotFound);
// - unset task dates read 4501-01-01 (kNoDate); task dates keep only the day;
// - FullName is split into FirstName/MiddleName/LastName ("Last, First" is
//   understood), the parts recompose FullName, FileAs is "Last, First" until
//   assigned, and a contact's Subject follows its full name until assigned;
// - recipients resolve by a contact's FullName, FileAs or Email1Address in any
//   contacts folder (exactly one match), or as an Internet address when the
//   name holds "@"; a distribution-list member made from a contact has an
//   EntryID of 72 header digits, the contact's EntryID and 6 trailer digits;
// - a recurrence pattern rejects (kErrInvalidValue) the properties its type
//   does not use, e.g. DayOfMonth on a weekly pattern; reads never fail.
#ifndef QV_PLATFORM_OUTLOOK_OUTLOOK_H
#define QV_PLATFORM_OUTLOOK_OUTLOOK_H

#include <array>
#include <climits>
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qv::outlook {

// ---------------------------------------------------------------------------
// Errors

// Error numbers, as late binding reports them.
inline constexpr int32_t kErrOverflow = 6;            // "Overflow"
inline constexpr int32_t kErrTypeMismatch = 13;       // "Type mismatch"
inline constexpr int32_t kErrObjectNotSet = 91;       // "Object variable or With block variable not set"
inline constexpr int32_t kErrObjectRequired = 424;    // "Object required"
inline constexpr int32_t kErrCannotCreate = 429;      // "ActiveX component can't create object"
inline constexpr int32_t kErrNotSupported = 438;      // "Object doesn't support this property or method"
inline constexpr int32_t kErrArgumentMissing = 449;   // "Argument not optional"
inline constexpr int32_t kErrNotFound = -2147221233;  // 0x8004010F, Outlook's failed lookup
inline constexpr int32_t kErrInvalidValue = -2147024809;  // 0x80070057, value out of range
inline constexpr int32_t kErrFailed = -2147467259;        // 0x80004005, operation refused
inline constexpr int32_t kErrCorruptProfile = -2147219968;  // 0x80040600, damaged profile file

// A COM-style failure: number and description.
class Error : public std::exception {
 public:
  Error(int32_t number, std::string description);
  // The standard description for one of the numbers above.
  explicit Error(int32_t number);
  int32_t number() const { return number_; }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  int32_t number_;
  std::string description_;
};

// ---------------------------------------------------------------------------
// Dates: automation dates in local time (days since 1899-12-30, the fraction
// is the time of day), counted continuously.

struct Date {
  double serial = 0;
  friend bool operator==(Date a, Date b) { return a.serial == b.serial; }
  friend auto operator<=>(Date a, Date b) { return a.serial <=> b.serial; }
};

struct DateParts {
  int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
};

Date MakeDate(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);
DateParts SplitDate(Date date);  // rounded to the nearest second
Date AddSeconds(Date date, double seconds);
// The current local time from the system clock, to the second.
Date LocalNow();
// Outlook's "no date" (4501-01-01 00:00), the value of an unset task date.
inline constexpr Date kNoDate{949998.0};

// ---------------------------------------------------------------------------
// Variant and late-bound objects

class Object;
using ObjectRef = std::shared_ptr<Object>;
using Bytes = std::vector<uint8_t>;

enum class VarType { Empty, Bool, Long, Double, Date, Text, Bytes, Object };

// One late-bound value. An Object variant holding nullptr is "Nothing".
// Conversions follow late binding: the To* members convert or throw
// Error(13) (or Error(6) for a number out of range).
class Variant {
 public:
  Variant() = default;
  Variant(bool v) : value_(v) {}
  Variant(int v) : value_(static_cast<int32_t>(v)) {}
  // Wider or unsigned integers are a Long when they fit, else a Double
  // (so MAPI tags above 0x7FFFFFFF become a Double, which Fields accepts).
  Variant(unsigned v) : Variant(static_cast<int64_t>(v)) {}
  Variant(int64_t v) {
    if (v >= INT32_MIN && v <= INT32_MAX) value_ = static_cast<int32_t>(v);
    else value_ = static_cast<double>(v);
  }
  Variant(uint64_t v) {
    if (v <= INT32_MAX) value_ = static_cast<int32_t>(v);
    else value_ = static_cast<double>(v);
  }
  Variant(double v) : value_(v) {}
  Variant(Date v) : value_(v) {}
  Variant(const char* v) : value_(std::string(v)) {}
  Variant(std::string v) : value_(std::move(v)) {}
  Variant(std::string_view v) : value_(std::string(v)) {}
  Variant(Bytes v) : value_(std::move(v)) {}
  Variant(ObjectRef v) : value_(std::move(v)) {}
  template <typename T>
    requires std::is_base_of_v<Object, T>
  Variant(std::shared_ptr<T> v) : value_(ObjectRef(std::move(v))) {}

  static Variant Nothing() { return Variant(ObjectRef()); }

  VarType type() const { return static_cast<VarType>(value_.index()); }
  bool IsEmpty() const { return type() == VarType::Empty; }
  bool IsObject() const { return type() == VarType::Object; }
  bool IsNothing() const { return IsObject() && !std::get<ObjectRef>(value_); }

  bool ToBool() const;
  int32_t ToLong() const;
  double ToDouble() const;
  Date ToDate() const;
  std::string ToText() const;
  Bytes ToBytes() const;
  // The object; Error(91) for Nothing, Error(424) for a value that is no object.
  const ObjectRef& ToObject() const;

  // Late-bound access on the held object. `get` and `call` are the same
  // dispatch (a property read and a method call are one invocation, as in
  // late binding); `put` assigns, with an optional index (e.g. Fields(tag)).
  template <typename... A>
  Variant get(std::string_view name, A&&... args) const {
    std::array<Variant, sizeof...(A)> list{Variant(std::forward<A>(args))...};
    return Invoke(name, list);
  }
  template <typename... A>
  Variant call(std::string_view name, A&&... args) const {
    return get(name, std::forward<A>(args)...);
  }
  void put(std::string_view name, const Variant& value) const;
  void put(std::string_view name, std::initializer_list<Variant> index, const Variant& value) const;
  Variant Invoke(std::string_view name, std::span<const Variant> args) const;

  // Same type and value (objects: the same object).
  friend bool operator==(const Variant& a, const Variant& b);

 private:
  std::variant<std::monostate, bool, int32_t, double, Date, std::string, Bytes, ObjectRef> value_;
};

using Args = std::span<const Variant>;

// A Click handler: the button clicked and the by-reference cancel flag.
using ClickHandler = std::function<void(const Variant& ctrl, bool& cancelDefault)>;

// A late-bound object. Implementations dispatch on the name without regard
// to case and throw Error(438) for a name they do not have.
class Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object() = default;
  // A property read or a method call.
  virtual Variant Get(std::string_view name, Args args) = 0;
  // A property assignment; `args` holds the index of an indexed property.
  virtual void Put(std::string_view name, Args args, const Variant& value);
  // The object's type as Outlook names it ("ContactItem", "MAPIFolder", ...).
  virtual std::string_view TypeName() const = 0;
  // Event connections: a command bar button raises "Click". Advise returns a
  // cookie for Unadvise; objects without the event throw Error(13).
  // (Virtual, so that a binding made by code linked separately from the
  // object's own code reaches it.)
  virtual uint64_t Advise(std::string_view event, ClickHandler handler);
  virtual void Unadvise(uint64_t cookie);
};

// ---------------------------------------------------------------------------
// Profiles

namespace detail {
class ProfileData;
}

// A mail profile: stores, folders and items in one SQLite file. A new file
// gets one default store ("Personal Folders") holding Inbox, Contacts,
// Calendar, Tasks and Deleted Items. Every change is written through at once,
// each in one transaction. Several processes may open one profile: each reads
// it whole in one read transaction (another's write is seen whole or not at
// all), and waits a bounded time for another's write to finish.
class Profile {
 public:
  // Opens the profile at `path`, creating it when the file does not exist
  // or is empty.
  // Throws Error(kErrCorruptProfile) when the file is damaged or no profile.
  static std::shared_ptr<Profile> Open(const std::string& path);

  ~Profile();
  Profile(const Profile&) = delete;
  Profile& operator=(const Profile&) = delete;

  const std::string& path() const;

  // Adds a store (with its own "Deleted Items") after the open ones.
  void AddStore(const std::string& name);
  // Makes a store (1-based, in Outlook's order) refuse new folders, or not.
  void SetStoreRefusesNewFolders(int storeIndex, bool refuse);
  // Whether the safe-item wrapper library is installed in this profile.
  bool WrapperLibraryInstalled() const;
  void SetWrapperLibraryInstalled(bool installed);

  // The clock that stamps saved items (default: LocalNow). For tests and
  // demonstrations that need predictable modification times.
  void SetClock(std::function<Date()> clock);

  detail::ProfileData& data() { return *data_; }

 private:
  explicit Profile(std::unique_ptr<detail::ProfileData> data);
  std::unique_ptr<detail::ProfileData> data_;
};

enum class StartMode {
  Interactive,  // with an explorer window (ActiveExplorer, command bars)
  Automation,   // started for automation: ActiveExplorer is Nothing
};

// Starts "Outlook" over a profile: the Application object.
Variant StartOutlook(std::shared_ptr<Profile> profile, StartMode mode = StartMode::Interactive);

// ---------------------------------------------------------------------------
// Command bar events

// Binds a handler to a command bar button's Click event for the binding's
// lifetime (or until Reset). The button runs its handlers when clicked
// (`Execute`); the binding does not keep the button alive.
class ClickBinding {
 public:
  ClickBinding() = default;
  ClickBinding(const Variant& button, ClickHandler handler);  // Error(13) if no button
  ~ClickBinding();
  ClickBinding(ClickBinding&& other) noexcept;
  ClickBinding& operator=(ClickBinding&& other) noexcept;
  ClickBinding(const ClickBinding&) = delete;
  ClickBinding& operator=(const ClickBinding&) = delete;
  void Reset();
  bool bound() const { return !button_.expired(); }

 private:
  std::weak_ptr<Object> button_;
  uint64_t cookie_ = 0;
};

// ---------------------------------------------------------------------------
// Helpers for a host that lets a person look at and change the profile.

// The folder at `path`: "\\Store\\Folder\\Sub" (Outlook's FolderPath form,
// leading backslashes optional). Error(kErrNotFound) when it does not exist.
Variant FindFolder(const Variant& application, std::string_view path);
// Every folder of every store, by FolderPath, in Outlook's order.
std::vector<std::string> ListFolderPaths(const Variant& application);

struct ItemSummary {
  std::string entryId;
  int32_t itemClass = 0;
  std::string subject;
  Date lastModificationTime;
};
// The folder's items, newest first.
std::vector<ItemSummary> ListItems(const Variant& folder);
// Every property an item answers, by name, with its value as text
// (properties that cannot be read are left out).
std::vector<std::pair<std::string, std::string>> DescribeItem(const Variant& item);
// Item edits from text: each name is assigned its text (converted as
// assignment converts), then the item is saved. Returns the item.
using FieldTexts = std::vector<std::pair<std::string, std::string>>;
Variant AddItem(const Variant& folder, const FieldTexts& fields);
void EditItem(const Variant& item, const FieldTexts& fields);
// Deletes as Outlook does: into "Deleted Items", from there for good.
void DeleteItem(const Variant& item);
// Opens an item of the profile by EntryID, searching every store.
Variant OpenItem(const Variant& application, std::string_view entryId);

// The buttons of the explorer's command bars, depth first: `path` is the
// bar's name and the captions leading to the button, joined by " > ".
// Click one with `control.call("Execute")`. Empty without an explorer.
struct MenuCommand {
  std::string path;
  Variant control;
};
std::vector<MenuCommand> ListMenuCommands(const Variant& application);

}  // namespace qv::outlook

#endif
