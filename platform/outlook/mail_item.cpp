// Mail items: only what the add-in uses of them, their recipients.
#include <algorithm>
#include <cmath>

#include "platform/outlook/item_object.h"

namespace qv::outlook::detail {
namespace {

const ItemProperty kMailProperties[] = {
    {"To", VarType::Text, false, 0, 1, kAny, GetRequired, PutRequired},  // type 1 names
    {"CC", VarType::Text, false, 0, 1, kAny, GetOptional, PutOptional},  // type 2 names
    {"Recipients", VarType::Object, true, 0, 1, kAny, GetRecipients},    // all recipients
};

}  // namespace

const ItemClassTable& MailClass() {
  static const ItemClassTable table = {kClassMail, "MailItem", "IPM.Note", kMailProperties, {}};
  return table;
}

}  // namespace qv::outlook::detail
