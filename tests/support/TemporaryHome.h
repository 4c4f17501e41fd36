#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ulvarend::testing {

// A fresh folder in `parent` (the temporary directory unless given), named `prefix` and six
// random characters.
inline std::filesystem::path
makeTemporaryFolder(const std::string& prefix,
                    const std::filesystem::path& parent = std::filesystem::temp_directory_path()) {
    std::string pattern = (parent / (prefix + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder " + pattern);
    }
    return pattern;
}

// Removes a folder with all it holds when it goes. A member declared just after the folder's path
// in a class whose destructor stops what works there: members go after the destructor's body.
// A folder has one owner, so its owner cannot be copied either.
class RemovedWhenGone {
public:
    explicit RemovedWhenGone(const std::filesystem::path& folder_) : folder(folder_) {}
    RemovedWhenGone(const RemovedWhenGone&) = delete;
    RemovedWhenGone& operator=(const RemovedWhenGone&) = delete;
    ~RemovedWhenGone() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

private:
    const std::filesystem::path& folder;
};

// A fresh HOME with the XDG folders below it, for as long as the object lives. The previous
// values come back afterwards.
class TemporaryHome {
public:
    TemporaryHome() : rootFolder(makeRootFolder()) {
        set(kEnclosingHome, std::to_string(getpid()) + ":" + rootFolder.string());
        set("HOME", rootFolder);
        set("XDG_CONFIG_HOME", rootFolder / "config");
        set("XDG_DATA_HOME", rootFolder / "data");
        set("XDG_STATE_HOME", rootFolder / "state");
    }
    ~TemporaryHome() {
        for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
            if (it->second) {
                setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                unsetenv(it->first.c_str());
            }
        }
        std::error_code ignored;
        std::filesystem::remove_all(rootFolder, ignored);
    }
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;

    const std::filesystem::path& root() const { return rootFolder; }
    std::filesystem::path configHome() const { return rootFolder / "config"; }
    std::filesystem::path dataHome() const { return rootFolder / "data"; }
    std::filesystem::path stateHome() const { return rootFolder / "state"; }

    void set(const std::string& name, const std::filesystem::path& value) {
        const char* old = std::getenv(name.c_str());
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name.c_str(), value.c_str(), 1);
    }

private:
    // "<pid>:<folder>" of the home that was fresh when a child of the process was started. A
    // death test's child builds its fixture again and ends without running a destructor, so
    // its home goes inside the parent's, which the parent removes.
    static constexpr const char* kEnclosingHome = "ULVAREND_TEST_ENCLOSING_HOME";

    static std::filesystem::path makeRootFolder() {
        const char* enclosing = std::getenv(kEnclosingHome);
        const std::string value = enclosing != nullptr ? enclosing : "";
        const auto colon = value.find(':');
        if (colon != std::string::npos && value.substr(0, colon) != std::to_string(getpid())) {
            const std::filesystem::path parent = value.substr(colon + 1);
            std::error_code ignored;
            if (std::filesystem::is_directory(parent, ignored)) {
                return makeTemporaryFolder("ulvarend-test-", parent);
            }
        }
        return makeTemporaryFolder("ulvarend-test-");
    }

    std::filesystem::path rootFolder;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

inline std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::filesystem::path& file, const std::string& contents) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << contents;
}

} // namespace ulvarend::testing
