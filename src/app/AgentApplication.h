#pragma once

#include <QApplication>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ulvarend {

// The agent's event loop. A handler that lets an exception escape is logged and the loop
// goes on: ending the process there would lose the records still on their way to the store.
class AgentApplication final : public QApplication {
public:
    AgentApplication(int& argc, char** argv);

    // Where escaped exceptions are reported; until it is set they go to standard error.
    void setErrorLog(std::function<void(const std::string&)> errorLog_);

    bool notify(QObject* receiver, QEvent* event) override;

private:
    std::function<void(const std::string&)> errorLog;
};

// What the command line holds for the agent once Qt has taken its own options out of it
// (`arguments` as QCoreApplication::arguments() gives them, the program first): the first
// URL of the agent's own scheme is the setup link. Whatever else is left, such as the id a
// session manager adds when it restores the agent, is no link; each is named in `ignored`.
std::optional<std::string> setupLinkArgument(const QStringList& arguments,
                                             std::vector<std::string>* ignored);

} // namespace ulvarend
