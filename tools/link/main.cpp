// ulvarend-link: prints the setup link a household opens to set the agent up.
//
// The names go into one text, "[" + names joined by ", " + "]", which the agent splits again.
// Every name is checked so that the agent reads back exactly the names given here; anything
// it would read differently is refused rather than quietly handed out in a link.

#include "Implementations/SetupHandler.h"
#include "platform/Text.h"
#include "platform/Unicode.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <QTextBoundaryFinder>
#include <QUrl>
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kUsageError = 2;

const char* const kSummary =
    "Prints the setup link for one household of the study, for example\n"
    "  ulvarend-link --participant P123 --type AppAndDevice --days 14 Anna Bo\n"
    "\n"
    "The first NAME is the member selected when the agent starts. TYPE is AppAndDevice (alias\n"
    "app: applications and device sessions) or Device (alias device: device sessions only).\n"
    "N is the length of the measurement period in whole days (0 ends it at once).";

struct Refusal {
    std::string message;
};

// Whether the text's first and last characters stand alone, so that a bracket or a separator
// next to them stays a character of its own and is not merged into theirs.
bool keepsItsEdges(const QString& name) {
    const QString framed = "[" + name + "]";
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, framed);
    const qsizetype afterOpening = finder.toNextBoundary();
    finder.toEnd();
    const qsizetype beforeClosing = finder.toPreviousBoundary();
    return afterOpening == 1 && beforeClosing == framed.size() - 1;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

std::optional<Refusal> refusalOfName(const std::string& name) {
    const std::string quoted = "\"" + name + "\"";
    if (name.empty()) {
        return Refusal{"a name is empty"};
    }
    if (name.find(", ") != std::string::npos) {
        return Refusal{"the name " + quoted +
                       " contains \", \", which the agent reads as the end of a name"};
    }
    if (name.front() == '[' || name.front() == ']' || name.back() == '[' || name.back() == ']') {
        return Refusal{"the name " + quoted + " begins or ends with a square bracket"};
    }
    if (isSpace(name.front()) || isSpace(name.back())) {
        return Refusal{"the name " + quoted +
                       " begins or ends with a space, which nobody could see in the menu"};
    }
    // The agent's own rule: it refuses the same names.
    if (const auto why = ulvarend::platform::memberNameRefusal(name)) {
        return Refusal{"the name " + quoted + " " + *why};
    }
    if (!keepsItsEdges(QString::fromStdString(name))) {
        return Refusal{"the name " + quoted +
                       " begins or ends with a character that joins its neighbour"};
    }
    return std::nullopt;
}

std::optional<Refusal> refusalOfNames(const std::vector<std::string>& names) {
    if (names.empty()) {
        return Refusal{"no names given: name at least one member of the household"};
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (auto refusal = refusalOfName(names[i])) {
            return refusal;
        }
        for (std::size_t j = 0; j < i; ++j) {
            // Members are told apart by name alone.
            if (ulvarend::platform::canonicallyEqual(names[i], names[j])) {
                return Refusal{"the name \"" + names[i] + "\" is given twice"};
            }
        }
    }
    return std::nullopt;
}

std::string joinedUserList(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : ", ") + names[i];
    }
    return text + "]";
}

// "1" is the agent's code for tracking applications too; any other text means devices only.
std::optional<std::string> trackingCode(const std::string& type) {
    if (type == "AppAndDevice" || type == "app") {
        return "1";
    }
    if (type == "Device" || type == "device") {
        return "0";
    }
    return std::nullopt;
}

std::optional<std::int64_t> dayCount(const std::string& text) {
    // Plain digits only: a sign, a space or a fraction is a typing mistake here.
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const auto days = ulvarend::SetupHandler::parseDayCount(text);
    // A period that no calendar date can end would fail in the agent.
    if (!days || !ulvarend::platform::addCalendarDays(std::chrono::system_clock::now(), *days)) {
        return std::nullopt;
    }
    return days;
}

int refuse(const std::string& message) {
    std::cerr << "ulvarend-link: " << message << "\n"
              << "Try 'ulvarend-link --help'.\n";
    return kUsageError;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        // The payload is UTF-8 JSON; bytes that are not UTF-8 would be changed on the way.
        if (!ulvarend::platform::isValidUtf8(argv[i])) {
            return refuse(std::string("argument ") + std::to_string(i) + " is not UTF-8 text");
        }
        arguments << QString::fromUtf8(argv[i]);
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(kSummary);
    const QCommandLineOption participantOption({"p", "participant"},
                                               "The study's identifier of the household.", "ID");
    const QCommandLineOption typeOption({"t", "type"}, "What is tracked: AppAndDevice or Device.",
                                        "TYPE");
    const QCommandLineOption daysOption({"d", "days"}, "Length of the measurement period in days.",
                                        "N");
    const QCommandLineOption helpOption({"h", "help"}, "Show this help.");
    parser.addOptions({participantOption, typeOption, daysOption, helpOption});
    parser.addPositionalArgument("NAME", "A member of the household; the first is selected.",
                                 "NAME...");
    if (!parser.parse(arguments)) {
        return refuse(parser.errorText().toStdString());
    }
    if (parser.isSet(helpOption)) {
        std::cout << parser.helpText().toStdString();
        return 0;
    }
    for (const auto& option : {participantOption, typeOption, daysOption}) {
        const std::string name = option.names().back().toStdString();
        if (!parser.isSet(option)) {
            return refuse("--" + name + " is missing");
        }
        if (parser.values(option).size() > 1) {
            return refuse("--" + name + " is given more than once");
        }
    }

    const std::string participant = parser.value(participantOption).toStdString();
    if (participant.empty()) {
        return refuse("the participant id is empty");
    }
    const std::string type = parser.value(typeOption).toStdString();
    const auto tracking = trackingCode(type);
    if (!tracking) {
        return refuse("unknown tracking type \"" + type + "\": use AppAndDevice or Device");
    }
    const std::string daysText = parser.value(daysOption).toStdString();
    const auto days = dayCount(daysText);
    if (!days) {
        return refuse("the number of days \"" + daysText +
                      "\" is not a whole number of days from 0 up");
    }

    std::vector<std::string> names;
    for (const QString& name : parser.positionalArguments()) {
        names.push_back(name.toStdString());
    }
    if (const auto refusal = refusalOfNames(names)) {
        return refuse(refusal->message);
    }
    const std::string users = joinedUserList(names);
    // The agent's own reading has the last word.
    if (ulvarend::SetupHandler::parseUserList(users) != names) {
        return refuse("the agent would read the names differently from " + users);
    }

    nlohmann::ordered_json payload;
    payload["user_id"] = participant;
    payload["users"] = users;
    payload["tracking_type"] = *tracking;
    payload["measurement_days"] = std::to_string(*days);
    const QByteArray data = QByteArray::fromStdString(payload.dump()).toBase64();
    // "+", "/" and "=" are escaped so that no mail program or browser can take them for
    // separators or spaces; the agent decodes the escapes.
    std::cout << "ulvarend://setup?data=" << QUrl::toPercentEncoding(data).toStdString() << "\n";
    return 0;
}
