#include "addin/server/message_box.h"

#include <cstdio>

namespace qvsync {
namespace {

MessageBoxFn& Handler() {
  static MessageBoxFn handler;
  return handler;
}

}  // namespace

void SetMessageBoxHandler(MessageBoxFn handler) { Handler() = std::move(handler); }

void ShowMessageBox(const std::string& text, const std::string& title, MessageBoxIcon icon) {
  if (Handler()) {
    Handler()(text, title, icon);
    return;
  }
  (void)icon;
  std::fprintf(stderr, "[%s] %s\n", title.c_str(), text.c_str());
}

}  // namespace qvsync
