// Appointment items: start, end, duration and all-day events.
#include <algorithm>
#include <cmath>

#include "platform/outlook/item_object.h"

namespace qv::outlook::detail {
namespace {

// A computed date, refused when it leaves the range of dates.
Date ComputedDate(double serial) {
  if (!IsValidDateSerial(serial)) throw Error(kErrInvalidValue);
  return Date{serial};
}

// Appointments: Start keeps the duration; End may not precede Start.
void PutStart(ItemObject& a, const Variant& v) {
  const Date end = ComputedDate(v.ToDate().serial + a.Serial("End") - a.Serial("Start"));
  a.Store("Start", v);
  a.Store("End", end);
}
void PutEnd(ItemObject& a, const Variant& v) {
  if (v.ToDate().serial < a.Serial("Start"))
    throw Error(kErrInvalidValue, "The end date you entered occurs before the start date.");
  a.Store("End", v);
}
Variant GetDuration(ItemObject& a) {
  return static_cast<int>(std::lround((a.Serial("End") - a.Serial("Start")) * 1440));
}
void PutDuration(ItemObject& a, const Variant& v) {
  a.Store("End", ComputedDate(a.Serial("Start") + v.ToLong() / 1440.0));
}
// An all-day event runs from midnight to midnight.
void PutAllDay(ItemObject& a, const Variant& v) {
  if (v.ToBool()) {
    const double start = std::floor(a.Serial("Start"));
    double end = std::ceil(a.Serial("End"));
    if (end <= start) end = start + 1;
    a.Store("End", ComputedDate(end));
    a.Store("Start", Date{start});
  }
  a.Store("AllDayEvent", v);
}

const ItemProperty kAppointmentProperties[] = {
    {"Start", VarType::Date, false, 0, 1, kAny, nullptr, PutStart},          // keeps Duration
    {"End", VarType::Date, false, 0, 1, kAny, nullptr, PutEnd},              // not before Start
    {"Duration", VarType::Long, false, 0, 0, 0x7FFFFFFF, GetDuration, PutDuration},  // minutes
    {"Location", VarType::Text},                                             // where
    {"AllDayEvent", VarType::Bool, false, 0, 1, kAny, nullptr, PutAllDay},   // midnight to midnight
    {"BusyStatus", VarType::Long, false, 0, 0, 4},                           // free .. elsewhere
    {"ReminderSet", VarType::Bool},                                          // reminder on
    {"ReminderMinutesBeforeStart", VarType::Long, false, 0, 0, 0x7FFFFFFF},  // minutes
    {"IsRecurring", VarType::Bool, true, 0, 1, kAny, GetIsRecurring},        // has a pattern
    {"RecurrenceState", VarType::Long, true, 0, 1, kAny, GetRecurrenceState},  // 0 single, 1 master
    {"RequiredAttendees", VarType::Text, false, 0, 1, kAny, GetRequired, PutRequired},  // type 1
    {"OptionalAttendees", VarType::Text, false, 0, 1, kAny, GetOptional, PutOptional},  // type 2
    {"Recipients", VarType::Object, true, 0, 1, kAny, GetRecipients},        // the attendees
};

}  // namespace

const ItemClassTable& AppointmentClass() {
  static const ItemClassTable table = {kClassAppointment, "AppointmentItem", "IPM.Appointment", kAppointmentProperties,
                                       RecurringMethods()};
  return table;
}

}  // namespace qv::outlook::detail
