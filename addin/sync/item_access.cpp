#include "addin/sync/item_access.h"

#include <map>

#include "addin/codec/item_codec.h"
#include "addin/server/protocol.h"
#include "addin/connect.h"

namespace qvsync {

using qv::outlook::Error;

namespace {

// One wrapper per item class, made on first use in a run and then reused:
// each item is handled completely before the next one is set into it.
std::map<int, Variant>& Wrappers() {
  static std::map<int, Variant> wrappers;
  return wrappers;
}

}  // namespace

const char* WrapperProgId(int outlookClass) {
  switch (outlookClass) {
    case kClassContact: return "Redemption.SafeContactItem";
    case kClassDistributionList: return "Redemption.SafeDistList";
    case kClassTask: return "Redemption.SafeTaskItem";
    case kClassAppointment: return "Redemption.SafeAppointmentItem";
    default: return nullptr;
  }
}

Variant CreateWrapper(int outlookClass, int32_t& errorNumber, std::string& errorDescription) {
  errorNumber = 0;
  errorDescription.clear();
  const char* progId = WrapperProgId(outlookClass);
  if (progId == nullptr) {
    errorNumber = qv::outlook::kErrCannotCreate;
    errorDescription = Error(errorNumber).description();
    return Variant::Nothing();
  }
  try {
    Variant wrapper = AddinState().outlookApplication.call("CreateObject", progId);
    if (wrapper.IsObject() && !wrapper.IsNothing()) return wrapper;
    errorNumber = qv::outlook::kErrCannotCreate;
  } catch (const Error& e) {
    errorNumber = e.number();
    errorDescription = e.description();
  }
  return Variant::Nothing();
}

void ReleaseWrappers() { Wrappers().clear(); }

Variant AccessObjectFor(const Variant& item) {
  if (!UseRedemption) return item;
  const int32_t itemClass = item.get("Class").ToLong();
  if (WrapperProgId(itemClass) == nullptr) return item;  // no wrapper for this class: the item itself
  Variant& wrapper = Wrappers()[itemClass];
  if (!wrapper.IsObject() || wrapper.IsNothing()) {
    int32_t number = 0;
    std::string description;
    wrapper = CreateWrapper(itemClass, number, description);
    if (wrapper.IsNothing()) throw Error(number, description);
  }
  wrapper.put("Item", item);
  return wrapper;
}

std::string TextOf(const Variant& object, const char* property) {
  try {
    return object.get(property).ToText();
  } catch (const Error&) {
    return "";
  }
}

int32_t LongOf(const Variant& object, const char* property) {
  try {
    return object.get(property).ToLong();
  } catch (const Error&) {
    return 0;
  }
}

Variant ItemFromEntryId(const Variant& folder, const std::string& entryId, int32_t& errorNumber,
                        std::string& errorDescription) {
  errorNumber = 0;
  errorDescription.clear();
  try {
    const std::string storeId = folder.get("StoreID").ToText();
    return AddinState().mapiNamespace.call("GetItemFromID", entryId, storeId);
  } catch (const Error& e) {
    errorNumber = e.number();
    errorDescription = e.description();
  }
  return Variant::Nothing();
}

}  // namespace qvsync
