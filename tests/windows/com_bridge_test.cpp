// The COM bridge of the object model, through real COM calls: an Object
// exposed as IDispatch and reached again through IDispatch (the way the add-in
// reaches Outlook, and the test host hands its Outlook to the add-in).
#include <map>
#include <random>

#include <gtest/gtest.h>

#include "platform/win32/outlook/com_bridge.h"
#include "platform/win32/outlook/dispatch_object.h"

namespace qv::outlook::com {
namespace {

// An object with a property of every kind, an indexed property, a method with
// optional arguments, failures, and a Click event.
class Gadget final : public Object {
 public:
  Variant Get(std::string_view name, Args args) override {
    if (name == "Omitted") {
      int omitted = 0;
      for (const Variant& a : args) omitted += a.IsEmpty() ? 1 : 0;
      return omitted * 100 + static_cast<int>(args.size());
    }
    if (name == "Fields") return fields_[args[0].ToLong()];
    if (name == "NotFound") throw Error(kErrNotFound);
    if (name == "Execute") {
      bool cancel = false;
      auto handlers = handlers_;
      for (auto& [cookie, handler] : handlers) handler(Variant(shared_from_this()), cancel);
      return cancel;
    }
    if (name == "Self") return Variant(shared_from_this());
    auto it = values_.find(std::string(name));
    if (it == values_.end()) throw Error(kErrNotSupported);
    return it->second;
  }
  void Put(std::string_view name, Args args, const Variant& value) override {
    if (name == "Fields") {
      fields_[args[0].ToLong()] = value;
      return;
    }
    if (name == "ReadOnly") throw Error(kErrNotSupported);
    values_[std::string(name)] = value;
  }
  std::string_view TypeName() const override { return "Gadget"; }
  uint64_t Advise(std::string_view event, ClickHandler handler) override {
    if (event != "Click") throw Error(kErrTypeMismatch);
    handlers_[++last_] = std::move(handler);
    return last_;
  }
  void Unadvise(uint64_t cookie) override { handlers_.erase(cookie); }

  std::map<std::string, Variant> values_;
  std::map<int32_t, Variant> fields_;
  std::map<uint64_t, ClickHandler> handlers_;
  uint64_t last_ = 0;
};

class ComBridge : public ::testing::Test {
 protected:
  ComBridge() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComBridge() override {
    gadget_.reset();
    remote_.reset();
    EXPECT_EQ(LiveComObjects(), 0) << "every COM object of the bridge is released";
    CoUninitialize();
  }
  // The gadget as the other side of a COM boundary sees it: exposed as
  // IDispatch and wrapped again (not unwrapped to the same Object).
  void SetUp() override {
    gadget_ = std::make_shared<Gadget>();
    IDispatch* exposed = ExposeObject(gadget_);
    ASSERT_NE(exposed, nullptr);
    remote_ = std::make_shared<DispatchObject>(exposed);
    exposed->Release();
  }
  Variant Remote() { return Variant(ObjectRef(remote_)); }

  std::shared_ptr<Gadget> gadget_;
  std::shared_ptr<DispatchObject> remote_;
};

TEST_F(ComBridge, EveryKindOfValueCrossesBothWays) {
  std::string text = "Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80 a";
  text.push_back('\0');  // a BSTR has a length, not a terminator
  text += "b";
  const Variant values[] = {
      Variant(),
      Variant(true),
      Variant(false),
      Variant(-2147483647 - 1),
      Variant(1.5e300),
      Variant(Date{45000.75}),
      Variant(text),
      Variant(std::string()),
      Variant(Bytes{0, 1, 0xFF, 0x80}),
      Variant(Bytes{}),
      Variant::Nothing(),
  };
  for (const Variant& value : values) {
    Remote().put("Value", value);
    EXPECT_TRUE(gadget_->values_["Value"] == value) << "put " << static_cast<int>(value.type());
    EXPECT_TRUE(Remote().get("Value") == value) << "get " << static_cast<int>(value.type());
  }
  // An object comes back as the object itself, not a copy.
  Remote().put("Value", Variant(ObjectRef(gadget_)));
  EXPECT_EQ(gadget_->values_["Value"].ToObject(), gadget_);
  Variant self = Remote().get("Self");
  self.put("Name", "via a second wrapper");
  EXPECT_EQ(gadget_->values_["Name"].ToText(), "via a second wrapper");
}

TEST_F(ComBridge, IndexedPropertiesAndOmittedArguments) {
  const int32_t tag = static_cast<int32_t>(0x8001001Fu);
  Remote().put("Fields", {tag}, Variant(Bytes{1, 2, 3}));
  EXPECT_TRUE(gadget_->fields_[tag] == Variant(Bytes{1, 2, 3}));
  EXPECT_TRUE(Remote().get("Fields", tag) == Variant(Bytes{1, 2, 3}));
  // Empty arguments travel as omitted ones and come back empty, in place.
  EXPECT_EQ(Remote().call("Omitted", 10, Variant(), Variant(), 1, true).ToLong(), 205);
  EXPECT_EQ(Remote().call("Omitted").ToLong(), 0);
}

TEST_F(ComBridge, FailuresKeepTheirNumberAndDescription) {
  struct Case {
    const char* member;
    bool put;
    int32_t number;
  } cases[] = {
      {"NoSuchMember", false, kErrNotSupported},
      {"NotFound", false, kErrNotFound},
      {"ReadOnly", true, kErrNotSupported},
  };
  for (const Case& c : cases) {
    try {
      if (c.put) {
        Remote().put(c.member, 1);
      } else {
        Remote().get(c.member);
      }
      ADD_FAILURE() << c.member << " did not fail";
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), c.number) << c.member;
      EXPECT_EQ(e.description(), Error(c.number).description()) << c.member;
    }
  }
}

TEST_F(ComBridge, ClicksArriveThroughTheConnectionPoint) {
  int clicks = 0;
  Variant clicked;
  ClickBinding binding(Remote(), [&](const Variant& ctrl, bool& cancel) {
    ++clicks;
    clicked = ctrl;
    cancel = true;  // the by-reference flag goes back to the button
  });
  EXPECT_EQ(gadget_->handlers_.size(), 1u);
  EXPECT_TRUE(gadget_->Get("Execute", {}).ToBool());
  EXPECT_EQ(clicks, 1);
  clicked.put("Name", "clicked");
  EXPECT_EQ(gadget_->values_["Name"].ToText(), "clicked") << "the Ctrl argument is the button";

  // A failure of the handler reaches whoever clicked, number and text intact.
  ClickBinding failing(Remote(), [](const Variant&, bool&) { throw Error(kErrObjectNotSet); });
  try {
    gadget_->Get("Execute", {});
    ADD_FAILURE() << "the handler's failure was lost";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrObjectNotSet);
  }
  failing.Reset();
  binding.Reset();
  EXPECT_TRUE(gadget_->handlers_.empty()) << "Unadvise ends the connection";
  const int before = clicks;
  gadget_->Get("Execute", {});
  EXPECT_EQ(clicks, before);
  clicked = Variant();
}

TEST_F(ComBridge, AnObjectWithoutClickRefusesTheConnection) {
  struct Plain final : Object {
    Variant Get(std::string_view, Args) override { return {}; }
    std::string_view TypeName() const override { return "Plain"; }
  };
  IDispatch* exposed = ExposeObject(std::make_shared<Plain>());
  auto wrapped = std::make_shared<DispatchObject>(exposed);
  exposed->Release();
  EXPECT_THROW(ClickBinding(Variant(ObjectRef(wrapped)), [](const Variant&, bool&) {}), Error);
}

// Whatever a VARIANT holds, reading it gives a value or Error, never a crash.
TEST_F(ComBridge, AnyVariantReadsAsAValueOrAnError) {
  std::mt19937 random(2024);
  for (int i = 0; i < 20000; ++i) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = static_cast<VARTYPE>(i < 4096 ? i : random() & 0xFFFF);
    // Payloads that are safe to follow: zero, or a small number.
    v.llVal = (i & 1) ? 0 : static_cast<LONGLONG>(random() & 0xFF);
    const VARTYPE base = V_VT(&v) & VT_TYPEMASK;
    const bool pointer = (V_VT(&v) & (VT_BYREF | VT_ARRAY | VT_VECTOR)) || base == VT_BSTR ||
                         base == VT_DISPATCH || base == VT_UNKNOWN || base == VT_LPSTR || base == VT_LPWSTR ||
                         base == VT_RECORD || base == VT_VARIANT;
    if (pointer) v.llVal = 0;
    try {
      FromVariant(v);
    } catch (const Error&) {
    }
  }
  // Byte arrays of every shape: only one dimension of single bytes reads.
  for (UINT dims = 1; dims <= 3; ++dims) {
    for (VARTYPE type : {VT_UI1, VT_I2, VT_VARIANT}) {
      SAFEARRAYBOUND bounds[3] = {{3, -2}, {2, 5}, {1, 0}};
      SAFEARRAY* array = SafeArrayCreate(type, dims, bounds);
      ASSERT_NE(array, nullptr);
      VARIANT v;
      VariantInit(&v);
      V_VT(&v) = static_cast<VARTYPE>(VT_ARRAY | VT_UI1);  // claims bytes whatever it holds
      V_ARRAY(&v) = array;
      const bool readable = dims == 1 && type == VT_UI1;
      try {
        EXPECT_EQ(FromVariant(v).ToBytes().size(), 3u);
        EXPECT_TRUE(readable) << dims << " " << type;
      } catch (const Error& e) {
        EXPECT_FALSE(readable) << e.description();
      }
      SafeArrayDestroy(array);
    }
  }
}

}  // namespace
}  // namespace qv::outlook::com
