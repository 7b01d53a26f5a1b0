// ClickBinding: a handler bound to a button's Click for the binding's
// lifetime, through the button's own Advise (the emulated button, or a button
// of the real Outlook reached through COM).
#include "platform/outlook/outlook.h"

namespace qv::outlook {

ClickBinding::ClickBinding(const Variant& button, ClickHandler handler) {
  const ObjectRef& object = button.ToObject();
  cookie_ = object->Advise("Click", std::move(handler));
  button_ = object;
}

ClickBinding::~ClickBinding() { Reset(); }

ClickBinding::ClickBinding(ClickBinding&& other) noexcept
    : button_(std::move(other.button_)), cookie_(other.cookie_) {
  other.button_.reset();
}

ClickBinding& ClickBinding::operator=(ClickBinding&& other) noexcept {
  if (this != &other) {
    Reset();
    button_ = std::move(other.button_);
    cookie_ = other.cookie_;
    other.button_.reset();
  }
  return *this;
}

void ClickBinding::Reset() {
  if (auto object = button_.lock()) object->Unadvise(cookie_);
  button_.reset();
}

}  // namespace qv::outlook
