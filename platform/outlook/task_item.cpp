// Task items: dates that are days; status, percentage and completion.
#include <algorithm>
#include <cmath>

#include "platform/outlook/item_object.h"

namespace qv::outlook::detail {
namespace {

// Tasks: dates are days; status, percentage and completion follow each other.
void PutTaskDate(ItemObject& t, const std::string& name, const Variant& v) {
  const Date date = v.ToDate();
  t.Store(name, date == kNoDate ? date : Date{std::floor(date.serial)});
}
void PutStartDate(ItemObject& t, const Variant& v) { PutTaskDate(t, "StartDate", v); }
void PutDueDate(ItemObject& t, const Variant& v) { PutTaskDate(t, "DueDate", v); }
constexpr int32_t kTaskNotStarted = 0, kTaskInProgress = 1, kTaskComplete = 2;
void PutStatus(ItemObject& t, const Variant& v) {
  const int32_t status = v.ToLong();
  t.Store("Status", status);
  if (status == kTaskComplete) t.Store("PercentComplete", 100);
  else if (t.Value("PercentComplete").ToLong() == 100) t.Store("PercentComplete", 0);
}
void PutPercentComplete(ItemObject& t, const Variant& v) {
  const int32_t percent = v.ToLong();
  const int32_t status = t.Value("Status").ToLong();
  t.Store("PercentComplete", percent);
  if (percent == 100) t.Store("Status", kTaskComplete);
  else if (percent > 0 && (status == kTaskNotStarted || status == kTaskComplete))
    t.Store("Status", kTaskInProgress);
  else if (percent == 0 && (status == kTaskInProgress || status == kTaskComplete))
    t.Store("Status", kTaskNotStarted);
}
Variant GetComplete(ItemObject& t) { return t.Value("Status").ToLong() == kTaskComplete; }
void PutComplete(ItemObject& t, const Variant& v) {
  if (v.ToBool()) PutStatus(t, kTaskComplete);
  else if (t.Value("Status").ToLong() == kTaskComplete) PutPercentComplete(t, 0);
}

const ItemProperty kTaskProperties[] = {
    {"StartDate", VarType::Date, false, 0, 1, kAny, nullptr, PutStartDate},  // day, or 4501-01-01
    {"DueDate", VarType::Date, false, 0, 1, kAny, nullptr, PutDueDate},      // day, or 4501-01-01
    {"Status", VarType::Long, false, 0, 0, 4, nullptr, PutStatus},           // not started .. deferred
    {"PercentComplete", VarType::Long, false, 0, 0, 100, nullptr, PutPercentComplete},  // 0..100
    {"Complete", VarType::Bool, false, 0, 1, kAny, GetComplete, PutComplete},  // status complete
    {"TotalWork", VarType::Long, false, 0, 0, 0x7FFFFFFF},                   // minutes
    {"ActualWork", VarType::Long, false, 0, 0, 0x7FFFFFFF},                  // minutes
    {"Mileage", VarType::Text},                                              // free text
    {"BillingInformation", VarType::Text},                                   // free text
    {"Companies", VarType::Text},                                            // free text
    {"IsRecurring", VarType::Bool, true, 0, 1, kAny, GetIsRecurring},        // has a pattern
    {"Recipients", VarType::Object, true, 0, 1, kAny, GetRecipients},        // assignees
};

}  // namespace

const ItemClassTable& TaskClass() {
  static const ItemClassTable table = {kClassTask, "TaskItem", "IPM.Task", kTaskProperties, RecurringMethods()};
  return table;
}

}  // namespace qv::outlook::detail
