#include "models/Time.h"

#include <cstdio>
#include <ctime>

namespace ulvarend {
namespace {

std::tm utcOf(std::chrono::sys_seconds seconds) {
    const std::time_t t = std::chrono::system_clock::to_time_t(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    return utc;
}

// Reads the milliseconds form when `text` has exactly its shape, digit for digit: what the
// store writes, read back a batch at a time, at a fraction of what sscanf costs. Fields read
// here are those sscanf would read from the same text; any other text is left to sscanf.
bool readMillisecondsShape(std::string_view text, std::tm& utc, int& milliseconds) {
    constexpr std::string_view shape = "0000-00-00T00:00:00.000";
    if (text.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '0' ? !digit : text[i] != shape[i]) {
            return false;
        }
    }
    const auto number = [text](std::size_t from, std::size_t length) {
        int value = 0;
        for (std::size_t i = from; i < from + length; ++i) {
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    utc.tm_year = number(0, 4);
    utc.tm_mon = number(5, 2);
    utc.tm_mday = number(8, 2);
    utc.tm_hour = number(11, 2);
    utc.tm_min = number(14, 2);
    utc.tm_sec = number(17, 2);
    milliseconds = number(20, 3);
    return true;
}

} // namespace

std::string formatRfc3339(TimePoint time) {
    const std::tm utc = utcOf(std::chrono::floor<std::chrono::seconds>(time));
    char buffer[32];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(buffer, length);
}

std::optional<TimePoint> parseRfc3339(std::string_view text) {
    const std::string copy(text);
    std::tm utc{};
    int consumed = 0;
    if (copy.size() != 20 ||
        std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &utc.tm_year, &utc.tm_mon,
                    &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &consumed) != 6 ||
        consumed != 20) {
        return std::nullopt;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    const auto time = std::chrono::system_clock::from_time_t(timegm(&utc));
    // timegm carries an out-of-range field into the next one; only a text that comes back
    // unchanged named a real moment. This also refuses signs and spaces sscanf lets through.
    if (formatRfc3339(time) != copy) {
        return std::nullopt;
    }
    return time;
}

std::string formatUtc(TimePoint time, UtcForm form) {
    const auto milliseconds = std::chrono::floor<std::chrono::milliseconds>(time);
    const auto seconds = std::chrono::floor<std::chrono::seconds>(milliseconds);
    const std::tm utc = utcOf(seconds);
    char buffer[48];
    int length = 0;
    if (form == UtcForm::milliseconds) {
        length =
            std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03d",
                          utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                          utc.tm_sec, static_cast<int>((milliseconds - seconds).count()));
    } else {
        length = static_cast<int>(std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &utc));
    }
    return std::string(buffer, static_cast<std::size_t>(length));
}

std::optional<TimePoint> parseUtc(std::string_view text, UtcForm form) {
    std::tm utc{};
    int milliseconds = 0;
    if (form == UtcForm::milliseconds && readMillisecondsShape(text, utc, milliseconds)) {
        utc.tm_year -= 1900;
        utc.tm_mon -= 1;
        return std::chrono::system_clock::from_time_t(timegm(&utc)) +
               std::chrono::milliseconds(milliseconds);
    }
    const std::string copy(text);
    int consumed = 0;
    if (form == UtcForm::milliseconds) {
        if (std::sscanf(copy.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%n", &utc.tm_year, &utc.tm_mon,
                        &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &milliseconds,
                        &consumed) != 7) {
            return std::nullopt;
        }
    } else {
        char separator = 0;
        char zone = 0;
        if (std::sscanf(copy.c_str(), "%4d%2d%2d%c%2d%2d%2d%c%n", &utc.tm_year, &utc.tm_mon,
                        &utc.tm_mday, &separator, &utc.tm_hour, &utc.tm_min, &utc.tm_sec, &zone,
                        &consumed) != 8 ||
            separator != 'T' || zone != 'Z') {
            return std::nullopt;
        }
    }
    if (static_cast<std::size_t>(consumed) != copy.size()) {
        return std::nullopt;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    const std::time_t seconds = timegm(&utc);
    // The stored form reaches back to the epoch's last second, which is -1 too; a file name
    // from then can only be a failed conversion.
    if (form == UtcForm::compact && seconds == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    return std::chrono::system_clock::from_time_t(seconds) +
           std::chrono::milliseconds(milliseconds);
}

} // namespace ulvarend
