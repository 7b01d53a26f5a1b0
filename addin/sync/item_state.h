// What the conversion table keeps of an Outlook item beyond its EntryID, UID
// and server stamp: whether Outlook changed it since it was last exchanged
// with the server. One table time cannot say that per item (an item pulled by
// a run that then failed, an edit made while a run goes on, a clock set back),
// so each row carries it as a fourth field, which readers of the three-field
// rows pass over:
//
//   "<local>/<utc>"  Outlook's LastModificationTime when the item was last
//                    exchanged with the server (sent and taken, or pulled and
//                    saved): whole seconds of local time since 1899-12-30, and
//                    the same instant in seconds since 1970 UTC;
//   "!" or "!<n>"    a change of the item is owed to the server: it went out
//                    (or is about to) and was not confirmed, or the server
//                    refused it n times; it is sent again whatever the times;
//   "" (no field)    not known (a row written before the field existed): the
//                    table file's time decides, as it always did.
//
// The item counts as changed when its modification time is another than the
// one kept, in either clock: the local one, which a change of time zone does
// not move where Outlook keeps local times, or the UTC one, which it does not
// move where Outlook keeps instants. Neither depends on the order of times, so
// an edit after the clock was set back is a change too.
#ifndef QVSYNC_SYNC_ITEM_STATE_H
#define QVSYNC_SYNC_ITEM_STATE_H

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/outlook/outlook.h"

namespace qvsync {

struct ItemState {
  enum class Kind { kUnknown, kExchanged, kOwed };
  Kind kind = Kind::kUnknown;
  int64_t local = 0;  // kExchanged: local seconds since 1899-12-30
  int64_t utc = 0;    // kExchanged: seconds since 1970 UTC
  int refusals = 0;   // kOwed: how often the server refused the change

  // The state of an item exchanged at Outlook modification time `modified`.
  static ItemState Exchanged(qv::outlook::Date modified);
  // A change owed to the server after `refusals` refusals.
  static ItemState Owed(int refusals = 0);

  bool owed() const { return kind == Kind::kOwed; }
  bool known() const { return kind != Kind::kUnknown; }
  // Whether an item now modified at `modified` was changed since this state
  // was kept (always for an owed change; never asked of an unknown state).
  bool ChangedBy(qv::outlook::Date modified) const;
};

// The field's text, and back. Text that is none of the forms is unknown.
ItemState ParseItemState(std::string_view field);
std::string FormatItemState(const ItemState& state);

// How often the server may refuse one change before it is left until Outlook
// changes the item again (so that one item cannot hold a folder up).
inline constexpr int kMaxRefusals = 3;

}  // namespace qvsync

#endif
