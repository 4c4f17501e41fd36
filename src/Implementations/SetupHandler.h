#pragma once

#include "interfaces/DateTimeHandlerProtocol.h"
#include "interfaces/LaunchAtLoginHandlerProtocol.h"
#include "interfaces/LoggerProtocol.h"
#include "interfaces/SettingsProtocol.h"
#include "interfaces/SetupHandlerProtocol.h"
#include "platform/AlertPresenter.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulvarend {

class SetupHandler final : public SetupHandlerProtocol {
public:
    SetupHandler(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler,
                 std::shared_ptr<LaunchAtLoginHandlerProtocol> launchAtLoginHandler,
                 std::shared_ptr<LoggerProtocol> logger, std::shared_ptr<SettingsProtocol> settings,
                 std::shared_ptr<platform::AlertPresenter> presenter);

    bool setup(const std::string& url) override;
    void showSetupResult(bool success) override;
    std::optional<SetupValues> readSetup(const std::string& url) override;
    bool applySetup(const SetupValues& values) override;

    // The household's names from "[Anna, Bo]", each member once (canonically equal names are
    // one member); nothing when the text is not of that form or a name is refused.
    static std::optional<std::vector<std::string>> parseUserList(const std::string& text);
    // A decimal count with an optional sign and nothing else.
    static std::optional<std::int64_t> parseDayCount(const std::string& text);

private:
    std::optional<std::map<std::string, std::string>> parseStartupUrl(const std::string& url);
    void logSetupError(const std::string& reason);

    std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler;
    std::shared_ptr<LaunchAtLoginHandlerProtocol> launchAtLoginHandler;
    std::shared_ptr<LoggerProtocol> logger;
    std::shared_ptr<SettingsProtocol> settings;
    std::shared_ptr<platform::AlertPresenter> presenter;
};

} // namespace ulvarend
