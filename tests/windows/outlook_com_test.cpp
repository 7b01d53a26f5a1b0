// The emulated Outlook handed across COM, as the Windows host hands it to the
// add-in: everything the add-in does to Outlook, done through IDispatch, lands
// in the profile as if done directly, and reads back the same.
#include <gtest/gtest.h>

#include "platform/outlook/outlook.h"
#include "platform/win32/outlook/com_bridge.h"
#include "platform/win32/outlook/dispatch_object.h"
#include "tests/common/test_support.h"

namespace qv::outlook::com {
namespace {

class OutlookThroughCom : public ::testing::Test {
 protected:
  OutlookThroughCom() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    profile_ = Profile::Open(dir_.File("profile.db"));
    direct_ = StartOutlook(profile_);
    IDispatch* exposed = ExposeObject(direct_.ToObject());
    // The add-in's view: a foreign IDispatch, not unwrapped.
    remote_ = Variant(ObjectRef(std::make_shared<DispatchObject>(exposed)));
    exposed->Release();
  }
  ~OutlookThroughCom() override {
    remote_ = direct_ = Variant();
    profile_.reset();
    EXPECT_EQ(LiveComObjects(), 0);
    CoUninitialize();
  }

  qv::testing::TempDir dir_;
  std::shared_ptr<Profile> profile_;
  Variant direct_, remote_;
};

TEST_F(OutlookThroughCom, ItemsMadeThroughComAreTheProfilesItems) {
  EXPECT_EQ(ListFolderPaths(remote_), ListFolderPaths(direct_));
  Variant contacts = remote_.call("GetNamespace", "MAPI").call("GetDefaultFolder", 10);
  Variant item = AddItem(contacts, {{"FullName", "Zoë Ångström"}, {"Email1Address", "zoe@example.com"}});
  const std::string entryId = item.get("EntryID").ToText();
  EXPECT_EQ(DescribeItem(OpenItem(direct_, entryId)), DescribeItem(OpenItem(remote_, entryId)));
  EXPECT_EQ(OpenItem(direct_, entryId).get("LastName").ToText(), "Ångström");
  // Dates cross as dates; a rejected assignment fails with the emulation's
  // number, through COM.
  Variant calendar = remote_.call("GetNamespace", "MAPI").call("GetDefaultFolder", 9);
  Variant meeting = AddItem(calendar, {{"Subject", "Plan"}, {"Start", "2024-02-29 10:30:00"}});
  EXPECT_TRUE(meeting.get("Start") == Variant(MakeDate(2024, 2, 29, 10, 30)));
  try {
    meeting.put("Start", "");
    ADD_FAILURE() << "an empty date was accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrTypeMismatch);
  }
  item.call("Delete");
  EXPECT_EQ(OpenItem(direct_, entryId).get("Parent").get("Name").ToText(), "Deleted Items");
}

TEST_F(OutlookThroughCom, TheWrapperLibraryTakesItemsAndRawFieldsAcrossCom) {
  profile_->SetWrapperLibraryInstalled(true);
  Variant contacts = remote_.call("GetNamespace", "MAPI").call("GetDefaultFolder", 10);
  Variant item = AddItem(contacts, {{"FullName", "Ann Smith"}});
  Variant safe = remote_.call("CreateObject", "Redemption.SafeContactItem");
  safe.put("Item", item);  // the item goes back as the host's own object
  EXPECT_EQ(safe.get("FullName").ToText(), "Ann Smith");
  const int32_t binaryTag = 0x80010102;  // PT_BINARY
  const Bytes bytes{0x00, 0x01, 0xFE, 0xFF};
  safe.put("Fields", {binaryTag}, Variant(bytes));
  EXPECT_TRUE(safe.get("Fields", binaryTag) == Variant(bytes));
}

TEST_F(OutlookThroughCom, MenuClicksTravelThroughTheConnectionPoint) {
  Variant bar = remote_.get("ActiveExplorer").get("CommandBars").call("Add", "Quorvia", 1, false, true);
  Variant button = bar.get("Controls").call("Add", 1, Variant(), Variant(), Variant(), true);
  button.put("Caption", "&Synchronize");
  int clicks = 0;
  std::string caption;
  ClickBinding binding(button, [&](const Variant& ctrl, bool&) {
    ++clicks;
    caption = ctrl.get("Caption").ToText();
  });
  const auto commands = ListMenuCommands(direct_);
  ASSERT_EQ(commands.size(), 1u);
  commands[0].control.call("Execute");  // the host clicks its own button
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(caption, "&Synchronize");
  binding.Reset();
  commands[0].control.call("Execute");
  EXPECT_EQ(clicks, 1);
  bar.call("Delete");
  EXPECT_TRUE(ListMenuCommands(direct_).empty());
}

}  // namespace
}  // namespace qv::outlook::com
