#pragma once

#include "interfaces/AlertHandlerProtocol.h"
#include "interfaces/DateTimeHandlerProtocol.h"
#include "platform/AlertPresenter.h"

#include <memory>
#include <optional>

namespace ulvarend {

class AlertHandler final : public AlertHandlerProtocol {
public:
    AlertHandler(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler,
                 std::shared_ptr<platform::AlertPresenter> presenter);

    bool showCurrentUserAlert(const std::string& user) override;
    void showTrackingPeriodEndedAlert() override;
    void showSetupMissingAlert() override;
    void showAgentUnreachableAlert() override;

private:
    std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler;
    std::shared_ptr<platform::AlertPresenter> presenter;
    // When the question last closed; it is not asked again within 5 seconds of that.
    std::optional<TimePoint> lastAlertTimeStamp;
};

} // namespace ulvarend
