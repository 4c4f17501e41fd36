#include "app/AgentApplication.h"

#include <QUrl>
#include <cstdio>
#include <exception>

namespace ulvarend {

AgentApplication::AgentApplication(int& argc, char** argv) : QApplication(argc, argv) {}

void AgentApplication::setErrorLog(std::function<void(const std::string&)> errorLog_) {
    errorLog = std::move(errorLog_);
}

bool AgentApplication::notify(QObject* receiver, QEvent* event) {
    std::string what;
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
        what = "an exception of unknown type";
    }
    const std::string line = "An event handler failed and was left behind: " + what;
    if (errorLog) {
        errorLog(line);
    } else {
        std::fprintf(stderr, "ulvarend: %s\n", line.c_str());
    }
    return false;
}

std::optional<std::string> setupLinkArgument(const QStringList& arguments,
                                             std::vector<std::string>* ignored) {
    std::optional<std::string> link;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (!link && QUrl(argument).scheme() == QStringLiteral("ulvarend")) {
            link = argument.toStdString();
        } else if (ignored != nullptr) {
            ignored->push_back(argument.toStdString());
        }
    }
    return link;
}

} // namespace ulvarend
