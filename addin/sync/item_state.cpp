#include "addin/sync/item_state.h"

#include <charconv>
#include <cmath>

#include "platform/timezone/timezone.h"

namespace qvsync {

namespace {

int64_t LocalSeconds(qv::outlook::Date date) { return std::llround(date.serial * 86400.0); }

// The instant of a local time under the zone's rules for that time (a time
// of the repeated autumn hour read as its later occurrence).
int64_t UtcSeconds(qv::outlook::Date date) {
  const qv::outlook::DateParts p = qv::outlook::SplitDate(date);
  const int64_t wallClock = (qv::timezone::DaysFromCivil(p.year, p.month, p.day) * 24 + p.hour) * 3600 +
                            p.minute * 60 + p.second;
  return qv::timezone::InstantFromWallClock(wallClock, qv::timezone::Fold::kLater);
}

bool ReadInteger(std::string_view text, int64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

ItemState ItemState::Exchanged(qv::outlook::Date modified) {
  ItemState state;
  state.kind = Kind::kExchanged;
  state.local = LocalSeconds(modified);
  state.utc = UtcSeconds(modified);
  return state;
}

ItemState ItemState::Owed(int refusals) {
  ItemState state;
  state.kind = Kind::kOwed;
  state.refusals = refusals < 0 ? 0 : refusals;
  return state;
}

bool ItemState::ChangedBy(qv::outlook::Date modified) const {
  if (kind == Kind::kOwed) return true;
  if (kind != Kind::kExchanged) return false;
  return LocalSeconds(modified) != local && UtcSeconds(modified) != utc;
}

ItemState ParseItemState(std::string_view field) {
  if (!field.empty() && field.front() == '!') {
    int64_t refusals = 0;
    if (field.size() == 1) return ItemState::Owed();
    if (ReadInteger(field.substr(1), refusals) && refusals >= 0 && refusals < 1000000)
      return ItemState::Owed(static_cast<int>(refusals));
    return ItemState{};
  }
  const size_t slash = field.find('/');
  ItemState state;
  if (slash == std::string_view::npos || !ReadInteger(field.substr(0, slash), state.local) ||
      !ReadInteger(field.substr(slash + 1), state.utc))
    return ItemState{};
  state.kind = ItemState::Kind::kExchanged;
  return state;
}

std::string FormatItemState(const ItemState& state) {
  switch (state.kind) {
    case ItemState::Kind::kExchanged:
      return std::to_string(state.local) + "/" + std::to_string(state.utc);
    case ItemState::Kind::kOwed:
      return state.refusals == 0 ? std::string("!") : "!" + std::to_string(state.refusals);
    case ItemState::Kind::kUnknown:
      break;
  }
  return "";
}

}  // namespace qvsync
