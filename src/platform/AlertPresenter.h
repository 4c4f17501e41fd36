#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulvarend::platform {

enum class AlertStyle { warning, informational, critical };

struct Alert {
    std::string messageText;
    std::string informativeText;
    AlertStyle style = AlertStyle::warning;
    // In order; the first is the default button.
    std::vector<std::string> buttons;
    // The alert closes by itself after this long if nobody answers; without it, it waits.
    std::optional<std::chrono::milliseconds> closeAfter;
};

// Shows an alert modally on the main thread, in front of other windows, and blocks until it is
// answered or has closed by itself.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // The index of the chosen button, or nothing when the alert closed by itself.
    virtual std::optional<std::size_t> runModal(const Alert& alert) = 0;
};

// Needs a running QApplication.
std::shared_ptr<AlertPresenter> makeQtAlertPresenter();

} // namespace ulvarend::platform
