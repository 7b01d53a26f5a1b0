// The access object the synchronisation engine hands to the codec: the item
// itself, or the safe-item wrapper of its class around it.
#ifndef QV_TESTS_ADDIN_CODEC_WRAPPER_ACCESS_H
#define QV_TESTS_ADDIN_CODEC_WRAPPER_ACCESS_H

#include <gtest/gtest.h>

#include <string>

#include "platform/outlook/outlook.h"

namespace qvsync::testing {

inline qv::outlook::Variant AccessObject(const qv::outlook::Variant& application,
                                         const qv::outlook::Variant& item, bool wrapper) {
  if (!wrapper) return item;
  const int itemClass = item.get("Class").ToLong();
  const char* progId = itemClass == 26   ? "Redemption.SafeAppointmentItem"
                       : itemClass == 48 ? "Redemption.SafeTaskItem"
                       : itemClass == 69 ? "Redemption.SafeDistList"
                       : itemClass == 40 ? "Redemption.SafeContactItem"
                                         : nullptr;
  if (!progId) return item;
  qv::outlook::Variant access = application.call("CreateObject", progId);
  access.put("Item", item);
  return access;
}

// Test names for the two cases: the wrapper library installed or missing.
inline std::string WrapperCase(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Installed" : "Missing";
}

}  // namespace qvsync::testing

#endif
