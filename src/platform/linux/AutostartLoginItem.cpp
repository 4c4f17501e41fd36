#include "platform/LoginItem.h"
#include "platform/Paths.h"

#include <exception>
#include <string_view>

namespace ulvarend::platform {
namespace {

// The program as one argument of an Exec key: quoted when it holds a reserved character,
// then escaped as any string value of a desktop entry (which is undone before the quoting).
std::string execValue(const std::string& program) {
    constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
    const bool quote = program.find_first_of(kReserved) != std::string::npos;
    std::string argument;
    if (quote) {
        argument += '"';
    }
    for (const char c : program) {
        if (c == '%') {
            argument += "%%"; // a lone % would start a field code
        } else if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            argument += '\\';
            argument += c;
        } else {
            argument += c;
        }
    }
    if (quote) {
        argument += '"';
    }
    std::string value;
    for (const char c : argument) {
        switch (c) {
        case '\\':
            value += "\\\\";
            break;
        case '\n':
            value += "\\n";
            break;
        case '\t':
            value += "\\t";
            break;
        case '\r':
            value += "\\r";
            break;
        default:
            value += c;
        }
    }
    return value;
}

std::string entryText(const std::filesystem::path& executable) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Ulvarend\n"
           "Comment=Records how this computer is used for the household study\n"
           "Exec=" +
           execValue(executable.string()) +
           "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

class AutostartLoginItem final : public LoginItem {
public:
    AutostartLoginItem(std::filesystem::path entryFile_, std::filesystem::path executable_,
                       ErrorReporter reportError_)
        : entryFile(std::move(entryFile_)), executable(std::move(executable_)),
          reportError(std::move(reportError_)) {}

    bool setEnabled(bool enabled) override {
        try {
            if (enabled) {
                write();
            } else {
                std::filesystem::remove(entryFile);
            }
            return true;
        } catch (const std::exception& exception) {
            if (reportError) {
                reportError(std::string("Could not ") + (enabled ? "write" : "remove") +
                            " the autostart entry " + entryFile.string() + ": " + exception.what());
            }
            return false;
        }
    }

private:
    void write() {
        std::filesystem::path program = executable;
        if (program.empty()) {
            program = std::filesystem::read_symlink("/proc/self/exe");
        }
        // After an upgrade replaced the running program the kernel names it so; the new one
        // is where the old one was, and that is what the next login must start.
        constexpr std::string_view kDeleted = " (deleted)";
        if (const std::string text = program.string();
            text.ends_with(kDeleted) && !std::filesystem::exists(program)) {
            program = text.substr(0, text.size() - kDeleted.size());
        }
        // The autostart folder is the desktop's, so its mode is left as the user has it.
        std::filesystem::create_directories(entryFile.parent_path());
        writeFileAtomically(entryFile, entryText(program), 0644);
    }

    const std::filesystem::path entryFile;
    const std::filesystem::path executable; // empty: the running executable
    const ErrorReporter reportError;
};

} // namespace

std::shared_ptr<LoginItem> makeLoginItem(ErrorReporter reportError) {
    return std::make_shared<AutostartLoginItem>(configHome() / "autostart" / "ulvarend.desktop",
                                                std::filesystem::path(), std::move(reportError));
}

std::shared_ptr<LoginItem> makeLoginItem(const std::filesystem::path& entryFile,
                                         const std::filesystem::path& executable,
                                         ErrorReporter reportError) {
    return std::make_shared<AutostartLoginItem>(entryFile, executable, std::move(reportError));
}

} // namespace ulvarend::platform
