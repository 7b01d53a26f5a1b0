// The explorer window's Office command bars: bars, pop-ups and buttons whose
// Click reaches the handlers bound to them. Bars live only as long as the
// Application that made them; none is kept in the profile.
#include <algorithm>

#include "platform/outlook/objects.h"
#include "platform/outlook/text.h"

namespace qv::outlook {

namespace detail {

namespace {

constexpr int32_t kControlButton = 1;  // msoControlButton
constexpr int32_t kControlPopup = 10;  // msoControlPopup

[[noreturn]] void DeletedObject() { throw Error(kErrFailed, "The object has been deleted."); }

// Properties a bar or control keeps as plain values: (name, type, writable).
struct PlainProperty {
  const char* name;
  VarType type;
  bool writable;
};

class ControlsObject;

// One control of a bar or pop-up. Owned by its Controls collection; knows
// its collection only weakly.
class ControlObject final : public Object {
 public:
  ControlObject(int32_t type, std::weak_ptr<ControlsObject> parent);

  Variant Get(std::string_view name, Args args) override;
  void Put(std::string_view name, Args args, const Variant& value) override;
  std::string_view TypeName() const override {
    return type_ == kControlPopup ? "CommandBarPopup" : "CommandBarButton";
  }

  int32_t type() const { return type_; }
  uint64_t Advise(std::string_view event, ClickHandler handler) override {
    if (type_ != kControlButton || !EqualsNoCase(event, "Click") || !handler || deleted_)
      throw Error(kErrTypeMismatch);
    handlers_.emplace_back(++lastCookie_, std::move(handler));
    return lastCookie_;
  }
  void Unadvise(uint64_t cookie) override {
    std::erase_if(handlers_, [&](const auto& h) { return h.first == cookie; });
  }
  void MarkDeleted();

 private:
  static const PlainProperty* Find(std::string_view name) {
    static const PlainProperty kTable[] = {
        {"Caption", VarType::Text, true},      // menu text, "&" before the access key
        {"TooltipText", VarType::Text, true},  // shown on hover
        {"Enabled", VarType::Bool, true},      // clickable
        {"Visible", VarType::Bool, true},      // shown
        {"Tag", VarType::Text, true},          // free text
        {"Parameter", VarType::Text, true},    // free text
    };
    for (const PlainProperty& p : kTable)
      if (EqualsNoCase(p.name, name)) return &p;
    return nullptr;
  }

  int32_t type_;
  std::weak_ptr<ControlsObject> parent_;
  PropertyMap values_;
  std::shared_ptr<ControlsObject> children_;  // pop-ups only
  std::vector<std::pair<uint64_t, ClickHandler>> handlers_;
  uint64_t lastCookie_ = 0;
  bool deleted_ = false;
};

class ControlsObject final : public Object {
 public:
  Variant Get(std::string_view name, Args args) override {
    if (EqualsNoCase(name, "Count")) return static_cast<int>(controls_.size());
    if (EqualsNoCase(name, "Item")) return ObjectRef(controls_[Index(RequiredArg(args, 0))]);
    if (EqualsNoCase(name, "Add")) {
      // Add(Type, Id, Parameter, Before, Temporary)
      const Variant& typeArg = Arg(args, 0);
      const int32_t type = typeArg.IsEmpty() ? kControlButton : typeArg.ToLong();
      if (type != kControlButton && type != kControlPopup) throw Error(kErrInvalidValue);
      const Variant& before = Arg(args, 3);
      size_t position = controls_.size();
      if (!before.IsEmpty()) {
        const int32_t b = before.ToLong();
        if (b < 1 || static_cast<size_t>(b) > controls_.size() + 1) throw Error(kErrInvalidValue);
        position = static_cast<size_t>(b - 1);
      }
      auto control = std::make_shared<ControlObject>(
          type, std::static_pointer_cast<ControlsObject>(shared_from_this()));
      controls_.insert(controls_.begin() + static_cast<std::ptrdiff_t>(position), control);
      return ObjectRef(control);
    }
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "CommandBarControls"; }

  void Remove(const ControlObject* control) {
    std::erase_if(controls_, [&](const auto& c) { return c.get() == control; });
  }
  int32_t IndexOf(const ControlObject* control) const {
    for (size_t i = 0; i < controls_.size(); ++i)
      if (controls_[i].get() == control) return static_cast<int32_t>(i + 1);
    return 0;
  }
  void DeleteAll() {
    for (auto& c : controls_) c->MarkDeleted();
    controls_.clear();
  }

 private:
  size_t Index(const Variant& index) {
    if (index.type() == VarType::Text) {
      for (size_t i = 0; i < controls_.size(); ++i)
        if (EqualsNoCase(controls_[i]->Get("Caption", {}).ToText(), index.ToText())) return i;
      throw Error(kErrInvalidValue);
    }
    const int32_t i = index.ToLong();
    if (i < 1 || static_cast<size_t>(i) > controls_.size()) throw Error(kErrInvalidValue);
    return static_cast<size_t>(i - 1);
  }
  std::vector<std::shared_ptr<ControlObject>> controls_;
};

ControlObject::ControlObject(int32_t type, std::weak_ptr<ControlsObject> parent)
    : type_(type), parent_(std::move(parent)) {
  values_["Enabled"] = true;
  values_["Visible"] = true;
  if (type == kControlPopup) children_ = std::make_shared<ControlsObject>();
}

void ControlObject::MarkDeleted() {
  deleted_ = true;
  handlers_.clear();
  if (children_) children_->DeleteAll();
}

Variant ControlObject::Get(std::string_view name, Args) {
  if (deleted_) DeletedObject();
  if (EqualsNoCase(name, "Type")) return type_;
  if (EqualsNoCase(name, "Id")) return 1;  // a custom control
  if (EqualsNoCase(name, "Index")) {
    auto parent = parent_.lock();
    return parent ? parent->IndexOf(this) : 0;
  }
  if (EqualsNoCase(name, "Controls")) {
    if (!children_) throw Error(kErrNotSupported);
    return ObjectRef(children_);
  }
  if (EqualsNoCase(name, "Delete")) {
    auto self = shared_from_this();  // keeps this alive while the parent lets go
    if (auto parent = parent_.lock()) parent->Remove(this);
    MarkDeleted();
    return {};
  }
  if (EqualsNoCase(name, "Execute")) {
    if (type_ != kControlButton || !values_["Enabled"].ToBool()) return {};
    const Variant self(shared_from_this());
    // A copy, so that a handler may unbind itself or others.
    auto handlers = handlers_;
    bool cancel = false;
    for (auto& [cookie, handler] : handlers) handler(self, cancel);
    return {};
  }
  const PlainProperty* p = Find(name);
  if (!p) throw Error(kErrNotSupported);
  auto it = values_.find(p->name);
  return it != values_.end() ? it->second : DefaultOf(p->type);
}

void ControlObject::Put(std::string_view name, Args, const Variant& value) {
  if (deleted_) DeletedObject();
  const PlainProperty* p = Find(name);
  if (!p || !p->writable) throw Error(kErrNotSupported);
  values_[p->name] = CoerceTo(p->type, value);
}

class CommandBarsObject;

class CommandBarObject final : public Object {
 public:
  CommandBarObject(std::weak_ptr<CommandBarsObject> parent, const std::string& name, int32_t position)
      : parent_(std::move(parent)), controls_(std::make_shared<ControlsObject>()) {
    values_["Name"] = name;
    values_["Position"] = position;
    values_["Visible"] = false;
    values_["Enabled"] = true;
  }
  Variant Get(std::string_view name, Args) override;
  void Put(std::string_view name, Args, const Variant& value) override {
    if (deleted_) DeletedObject();
    const PlainProperty* p = Find(name);
    if (!p || !p->writable) throw Error(kErrNotSupported);
    Variant converted = CoerceTo(p->type, value);
    if (EqualsNoCase(p->name, "Position")) CheckRange(converted.ToLong(), 0, 6);
    values_[p->name] = std::move(converted);
  }
  std::string_view TypeName() const override { return "CommandBar"; }
  void MarkDeleted() {
    deleted_ = true;
    controls_->DeleteAll();
  }

 private:
  static const PlainProperty* Find(std::string_view name) {
    static const PlainProperty kTable[] = {
        {"Name", VarType::Text, true},      // as given to Add
        {"Position", VarType::Long, true},  // msoBarLeft 0 .. msoBarPopup 5, 6 menu bar
        {"Visible", VarType::Bool, true},   // hidden until made visible
        {"Enabled", VarType::Bool, true},   // usable
    };
    for (const PlainProperty& p : kTable)
      if (EqualsNoCase(p.name, name)) return &p;
    return nullptr;
  }

  std::weak_ptr<CommandBarsObject> parent_;
  std::shared_ptr<ControlsObject> controls_;
  PropertyMap values_;
  bool deleted_ = false;
};

class CommandBarsObject final : public Object {
 public:
  Variant Get(std::string_view name, Args args) override {
    if (EqualsNoCase(name, "Count")) return static_cast<int>(bars_.size());
    if (EqualsNoCase(name, "Item")) {
      const Variant& index = RequiredArg(args, 0);
      if (index.type() == VarType::Text) {
        for (auto& bar : bars_)
          if (EqualsNoCase(bar->Get("Name", {}).ToText(), index.ToText())) return ObjectRef(bar);
        throw Error(kErrInvalidValue);
      }
      const int32_t i = index.ToLong();
      if (i < 1 || static_cast<size_t>(i) > bars_.size()) throw Error(kErrInvalidValue);
      return ObjectRef(bars_[static_cast<size_t>(i - 1)]);
    }
    if (EqualsNoCase(name, "Add")) {
      // Add(Name, Position, MenuBar, Temporary)
      const Variant& position = Arg(args, 1);
      const int32_t p = position.IsEmpty() ? 0 : position.ToLong();
      CheckRange(p, 0, 6);
      auto bar = std::make_shared<CommandBarObject>(
          std::static_pointer_cast<CommandBarsObject>(shared_from_this()), Arg(args, 0).ToText(), p);
      bars_.push_back(bar);
      return ObjectRef(bar);
    }
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "CommandBars"; }
  void Remove(const CommandBarObject* bar) {
    std::erase_if(bars_, [&](const auto& b) { return b.get() == bar; });
  }
  ~CommandBarsObject() override {
    for (auto& bar : bars_) bar->MarkDeleted();
  }

 private:
  std::vector<std::shared_ptr<CommandBarObject>> bars_;
};

Variant CommandBarObject::Get(std::string_view name, Args) {
  if (deleted_) DeletedObject();
  if (EqualsNoCase(name, "Controls")) return ObjectRef(controls_);
  if (EqualsNoCase(name, "Delete")) {
    auto self = shared_from_this();
    if (auto parent = parent_.lock()) parent->Remove(this);
    MarkDeleted();
    return {};
  }
  const PlainProperty* p = Find(name);
  if (!p) throw Error(kErrNotSupported);
  return values_[p->name];
}

class ExplorerObject final : public Object {
 public:
  ExplorerObject() : bars_(std::make_shared<CommandBarsObject>()) {}
  Variant Get(std::string_view name, Args) override {
    if (EqualsNoCase(name, "CommandBars")) return ObjectRef(bars_);
    if (EqualsNoCase(name, "Caption")) return "Outlook";
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "Explorer"; }

 private:
  std::shared_ptr<CommandBarsObject> bars_;
};

}  // namespace

ObjectRef MakeExplorer() { return std::make_shared<ExplorerObject>(); }

}  // namespace detail

}  // namespace qv::outlook
