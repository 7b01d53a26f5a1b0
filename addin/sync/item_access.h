// How the synchronisation engine reaches Outlook items: the safe-item wrapper
// made per item class when the wrapper library is installed, the item itself
// otherwise.
#ifndef QVSYNC_SYNC_ITEM_ACCESS_H
#define QVSYNC_SYNC_ITEM_ACCESS_H

#include <cstdint>
#include <string>

#include "platform/outlook/outlook.h"

namespace qvsync {

using qv::outlook::Variant;

// "Redemption.SafeContactItem" (40), "Redemption.SafeDistList" (69),
// "Redemption.SafeTaskItem" (48), "Redemption.SafeAppointmentItem" (26);
// nullptr for any other class.
const char* WrapperProgId(int outlookClass);

// A new, empty wrapper for items of `outlookClass`; Nothing (with the error)
// when the library is missing or the class has no wrapper.
Variant CreateWrapper(int outlookClass, int32_t& errorNumber, std::string& errorDescription);

// The object through which an item is read and changed: a wrapper for the
// item's own class around it while `UseRedemption` is set, else the item.
// Throws qv::outlook::Error when the item cannot be reached.
Variant AccessObjectFor(const Variant& item);

// Forgets the wrappers made so far (at the end of a folder run).
void ReleaseWrappers();

// Reads a property as text / number, "" / 0 when it cannot be read.
std::string TextOf(const Variant& object, const char* property);
int32_t LongOf(const Variant& object, const char* property);

// The Outlook item `entryId` in the store of `folder`; Nothing when it cannot
// be found (the error is left in the out-values).
Variant ItemFromEntryId(const Variant& folder, const std::string& entryId, int32_t& errorNumber,
                        std::string& errorDescription);

}  // namespace qvsync

#endif
