// The seam through which server commands show message boxes. The add-in sets a
// handler that shows a modal box on its front end; until then (and in tools)
// boxes are printed on standard error. Tests record the boxes through it.
// Used on the host's user-interface thread only.
#ifndef QVSYNC_SERVER_MESSAGE_BOX_H
#define QVSYNC_SERVER_MESSAGE_BOX_H

#include <functional>
#include <string>

namespace qvsync {

enum class MessageBoxIcon { kInformation, kExclamation, kCritical, kQuestion };

using MessageBoxFn =
    std::function<void(const std::string& text, const std::string& title, MessageBoxIcon icon)>;

// Installs `handler`; an empty function restores the default (standard error).
void SetMessageBoxHandler(MessageBoxFn handler);

// Shows one modal message box with an OK button.
void ShowMessageBox(const std::string& text, const std::string& title, MessageBoxIcon icon);

}  // namespace qvsync

#endif
