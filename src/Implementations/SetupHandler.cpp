#include "Implementations/SetupHandler.h"

#include "platform/Text.h"
#include "platform/Unicode.h"

#include <algorithm>
#include <charconv>
#include <iostream>
#include <nlohmann/json.hpp>

namespace ulvarend {
namespace {

constexpr int kMaximumNesting = 8;
// A household's names and a few numbers take a few hundred bytes.
constexpr std::size_t kMaximumPayloadBytes = 64 * 1024;

// Reads a payload without building anything, so that what the parser must not build is refused
// first: every value must be a string, so a payload nested deeper than one object is invalid
// anyway, and stopping early keeps a hostile link from making the parser build a deep tree.
// Syntax errors, numbers out of range and the nesting limit alike fill `whyNot`, with the
// parser's own words for the first two.
class PayloadCheck final : public nlohmann::json::json_sax_t {
public:
    explicit PayloadCheck(std::string* whyNot_) : whyNot(whyNot_) {}

    bool null() override { return withinLimit(); }
    bool boolean(bool) override { return withinLimit(); }
    bool number_integer(number_integer_t) override { return withinLimit(); }
    bool number_unsigned(number_unsigned_t) override { return withinLimit(); }
    bool number_float(number_float_t, const string_t&) override { return withinLimit(); }
    bool string(string_t&) override { return withinLimit(); }
    bool binary(binary_t&) override { return withinLimit(); }
    bool key(string_t&) override { return withinLimit(); }
    bool start_object(std::size_t) override { return open(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&,
                     const nlohmann::json::exception& error) override {
        *whyNot = error.what();
        return false;
    }

private:
    // A value or key inside `depth` open objects and arrays.
    bool withinLimit() {
        if (depth > kMaximumNesting) {
            *whyNot = "The setup data is nested too deeply";
            return false;
        }
        return true;
    }
    bool open() {
        if (!withinLimit()) {
            return false;
        }
        ++depth;
        return true;
    }
    bool close() {
        --depth;
        return true;
    }

    std::string* whyNot;
    int depth = 0;
};

} // namespace

SetupHandler::SetupHandler(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler_,
                           std::shared_ptr<LaunchAtLoginHandlerProtocol> launchAtLoginHandler_,
                           std::shared_ptr<LoggerProtocol> logger_,
                           std::shared_ptr<SettingsProtocol> settings_,
                           std::shared_ptr<platform::AlertPresenter> presenter_)
    : dateTimeHandler(std::move(dateTimeHandler_)),
      launchAtLoginHandler(std::move(launchAtLoginHandler_)), logger(std::move(logger_)),
      settings(std::move(settings_)), presenter(std::move(presenter_)) {}

void SetupHandler::logSetupError(const std::string& reason) {
    logger->logError("Invalid startup url. " + reason);
}

std::optional<std::map<std::string, std::string>>
SetupHandler::parseStartupUrl(const std::string& url) {
    // A text that is no URL at all has no query items either.
    const auto items = platform::urlQueryItems(url).value_or(std::map<std::string, std::string>{});
    const auto data = items.find("data");
    if (data == items.end()) {
        logSetupError("Missing: Data");
        return std::nullopt;
    }
    const auto bytes = platform::decodeBase64(data->second);
    if (!bytes || !platform::isValidUtf8(*bytes)) {
        logSetupError("Invalid Base64 Data");
        return std::nullopt;
    }

    std::string whyMalformed;
    if (bytes->size() > kMaximumPayloadBytes) {
        whyMalformed = "The setup data is too long";
    } else {
        PayloadCheck check(&whyMalformed);
        nlohmann::json::sax_parse(*bytes, &check);
    }
    if (!whyMalformed.empty()) {
        // On standard output, not in the log, on purpose: the one who opened the link from a
        // terminal sees why it was refused; the log gets the reason "Invalid data".
        std::cout << whyMalformed << std::endl;
        return std::nullopt;
    }
    // The check has passed, so the parse succeeds: it reads the same text by the same rules.
    const auto payload = nlohmann::json::parse(*bytes, nullptr, /*allow_exceptions=*/false);
    if (!payload.is_object() && !payload.is_array()) {
        std::cout << "The setup data is neither a JSON object nor an array" << std::endl;
        return std::nullopt;
    }
    if (!payload.is_object()) {
        return std::nullopt;
    }
    std::map<std::string, std::string> values;
    for (const auto& [key, value] : payload.items()) {
        if (!value.is_string()) {
            return std::nullopt;
        }
        values[key] = value.get<std::string>();
    }
    return values;
}

std::optional<std::vector<std::string>> SetupHandler::parseUserList(const std::string& text) {
    // The brackets are whole characters: "[" followed by a combining mark is another letter.
    if (text.empty() || platform::firstGrapheme(text) != "[" || text.back() != ']' ||
        text.size() < 2) {
        return std::nullopt;
    }
    const std::string inner = text.substr(1, text.size() - 2);
    std::vector<std::string> names;
    std::size_t from = 0;
    for (std::size_t at = inner.find(", "); at != std::string::npos; at = inner.find(", ", from)) {
        names.push_back(inner.substr(from, at - from));
        from = at + 2;
    }
    names.push_back(inner.substr(from));
    if (names.front().empty()) {
        return std::nullopt;
    }
    if (std::any_of(names.begin(), names.end(),
                    [](const auto& name) { return platform::memberNameRefusal(name); })) {
        return std::nullopt;
    }
    return platform::distinctMemberNames(names);
}

std::optional<std::int64_t> SetupHandler::parseDayCount(const std::string& text) {
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    // from_chars takes the minus sign itself so that the lowest value still fits.
    const std::string number = (negative ? "-" : "") + std::string(digits);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return value;
}

bool SetupHandler::setup(const std::string& url) {
    const auto values = readSetup(url);
    return values && applySetup(*values);
}

std::optional<SetupValues> SetupHandler::readSetup(const std::string& url) {
    const auto payload = parseStartupUrl(url);
    if (!payload) {
        logSetupError("Invalid data");
        return std::nullopt;
    }
    const auto& values = *payload;
    for (const char* key : {"user_id", "users", "tracking_type", "measurement_days"}) {
        if (values.count(key) == 0) {
            logSetupError(std::string("Missing: ") + key);
            return std::nullopt;
        }
    }

    // Every value is checked before the first is stored: a bad link that reaches an agent
    // already tracking must leave its study as it was.
    const auto users = parseUserList(values.at("users"));
    if (!users) {
        logSetupError("Invalid value: users");
        return std::nullopt;
    }
    const auto days = parseDayCount(values.at("measurement_days"));
    // A count too large for any calendar date fails the same way as one that is not a number.
    const auto stopDate =
        days ? platform::addCalendarDays(dateTimeHandler->now(), *days) : std::nullopt;
    if (!stopDate) {
        // Misspelt as the log has always written it: the study's log readers search for it.
        logSetupError("Invalid value: mesaurement_days");
        return std::nullopt;
    }
    return SetupValues{values.at("user_id"), *users,
                       values.at("tracking_type") == "1" ? TrackingType::AppAndDevice
                                                         : TrackingType::Device,
                       *stopDate};
}

bool SetupHandler::applySetup(const SetupValues& values) {
    // What the link sets reaches the disk in one write, or nothing of it does: a setup that
    // could not be saved leaves the settings it found, on disk and in this run. The agent is
    // marked as set up in that same write, after its autostart entry.
    bool autostartWritten = true;
    const bool saved = settings->saveTogether([&] {
        settings->setUserId(values.userId);
        settings->setUserList(values.users);
        settings->setCurrentUser(values.users.front());
        settings->setTrackingType(values.trackingType);
        settings->setStopTrackingDate(values.stopTrackingDate);
        autostartWritten = launchAtLoginHandler->setIsEnabled(true);
        if (autostartWritten) {
            settings->setAppHasBeenSetup(true);
        }
        return autostartWritten;
    });
    if (!saved) {
        logger->logError(autostartWritten
                             ? "The setup could not be saved: the settings did not reach the disk"
                             : "The setup could not be saved: the autostart entry was not written");
        return false;
    }
    logger->logInfo("App is setup!");
    return true;
}

void SetupHandler::showSetupResult(bool success) {
    if (success) {
        presenter->runModal({"Opsætning færdiggjort",
                             "Der er intet mere at gøre.",
                             platform::AlertStyle::informational,
                             {"Ok"},
                             std::nullopt});
    } else {
        presenter->runModal({"Opsætning mislykkedes",
                             "Prøv at åbne linket igen. Hvis det ikke virker, så kontakt Ostrel.",
                             platform::AlertStyle::critical,
                             {"Ok"},
                             std::nullopt});
    }
}

} // namespace ulvarend
