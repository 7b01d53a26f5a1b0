// Texts from outside (server item XML passed through to Outlook properties)
// reach the emulation's assignment conversions: every conversion must either
// give a value or throw the late-binding error, and dates must survive a
// round trip through their text form.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/outlook/outlook.h"

using qv::outlook::Date;
using qv::outlook::Error;
using qv::outlook::Variant;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Variant text(std::string(reinterpret_cast<const char*>(data), size));
  try {
    const Date date = text.ToDate();
    const qv::outlook::DateParts parts = qv::outlook::SplitDate(date);
    const Date again = qv::outlook::MakeDate(parts.year, parts.month, parts.day, parts.hour,
                                             parts.minute, parts.second);
    if (Variant(Variant(again).ToText()).ToDate() != again) std::abort();
  } catch (const Error& e) {
    if (e.number() != qv::outlook::kErrTypeMismatch) std::abort();
  }
  for (int which = 0; which < 3; ++which) {
    try {
      if (which == 0) (void)text.ToLong();
      if (which == 1) (void)text.ToDouble();
      if (which == 2) (void)text.ToBool();
    } catch (const Error& e) {
      if (e.number() != qv::outlook::kErrTypeMismatch && e.number() != qv::outlook::kErrOverflow)
        std::abort();
    }
  }
  return 0;
}
