// Stop-level notices for failures the user must see.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace platform {

// Writes the notice as one plain line on standard error and, in a graphical session (DISPLAY or
// WAYLAND_DISPLAY set), also opens a dialog in a detached process (zenity, kdialog or xmessage,
// the first found on PATH) that is never waited for. Never ends the process.
void showStopNotice(const std::optional<std::string>& header, const std::string& message);

// Where notices go: the real one above, or a recorder in tests.
using NoticeFunction =
    std::function<void(const std::optional<std::string>& header, const std::string& message)>;

}  // namespace platform
