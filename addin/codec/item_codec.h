// The item codec : an Outlook appointment, contact, task or
// distribution list to the form fields of an ADD or EDIT request
// (SerializeItem), and a server item's XML onto an Outlook item
// (DeserializeItem); and the ServerItem adapter through which the server
// commands and the synchronisation engine reach both.
//
// Items are reached late-bound (qv::outlook::Variant): the Outlook item or its
// safe-item wrapper ("Redemption.Safe*Item"), which adds Fields(tag). Nothing
// here throws an Outlook error to the caller: every property access is
// guarded as the Parts say. Runs on the host's user-interface thread.
#ifndef QVSYNC_CODEC_ITEM_CODEC_H
#define QVSYNC_CODEC_ITEM_CODEC_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "addin/server/protocol.h"
#include "addin/sync/conversion_table.h"
#include "platform/outlook/outlook.h"

namespace qvsync {

// Process-wide: set by the synchronisation engine when it has managed to
// create a safe-item wrapper, so that the items it hands in are wrappers.
// Chooses the attendee form of SerializeItem.
extern bool UseRedemption;

// MAPI tags the codec reads and writes through Fields.
inline constexpr uint32_t kTagAppointmentUid = 0x816A0102;
inline constexpr uint32_t kTagSentRepresentingEmail = 0x0065001E;
inline constexpr uint32_t kTagSentRepresentingName = 0x0042001E;
inline constexpr uint32_t kTagEmailAddress = 0x3003001E;
inline constexpr uint32_t kTagRecipientFlags = 0x5FFD0003;

// The request fields of `item` (without the leading "&"; "&ID=<serverId>" at
// the end when serverId is not empty). `contactsTable`: the contacts'
// conversion table, for distribution lists (nullptr: no rows). Empty when a
// distribution list has a member contact without a server UID (the list is
// then saved once).
std::string SerializeItem(const std::string& serverId, const qv::outlook::Variant& item,
                          const ConversionTable* contactsTable = nullptr);

// Copies the server item's XML onto `item` (not saved, except distribution
// lists, which their member operations save). `folder`: the folder holding the
// item (its StoreID opens member contacts); an Empty variant means the item's
// Parent. 1 when brought up to date, 0 when a distribution list was not.
int32_t DeserializeItem(const std::string& xml, const qv::outlook::Variant& item,
                        const qv::outlook::Variant& folder = qv::outlook::Variant(),
                        const ConversionTable* contactsTable = nullptr);

// A member EntryID reduced to the contact's EntryID: from position 73 up to six
// characters before the end when at least 87 long, else unchanged.
std::string MemberContactEntryID(std::string_view memberEntryId);

// The text read as a 32-bit integer; 0 when it is not a number.
int32_t TextToLong(std::string_view text);

// Empties a distribution list (through a scratch mail item) and saves it.
void RemoveAllMembers(const qv::outlook::Variant& list);
// Adds the contacts of `entryIds` (";"-separated) to a distribution list by
// their full names; 1 when added and saved, 0 otherwise.
int32_t AddMembersByEntryID(const qv::outlook::Variant& folder, const qv::outlook::Variant& list,
                            std::string_view entryIds);

// The ServerItem adapter over an Outlook item or its safe wrapper (the access
// object). The table is the contacts' conversion table (distribution lists),
// not owned, and must outlive the adapter; `folder` as for DeserializeItem.
std::unique_ptr<ServerItem> MakeServerItem(
    const qv::outlook::Variant& accessObject, const ConversionTable* contactsTable = nullptr,
    const qv::outlook::Variant& folder = qv::outlook::Variant());

}  // namespace qvsync

#endif
