#pragma once

#include "platform/ErrorReporter.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ulvarend::platform {

// The per-user persistent key-value store. Every value keeps its type: asking for a key under
// another type than the one it was written with answers absent, as does a missing key.
// Every write is on disk before it returns. Safe to use from any thread.
class DefaultsStore {
public:
    using Date = std::chrono::system_clock::time_point;

    virtual ~DefaultsStore() = default;

    virtual std::optional<bool> boolean(const std::string& key) = 0;
    virtual std::optional<std::int64_t> integer(const std::string& key) = 0;
    virtual std::optional<std::string> string(const std::string& key) = 0;
    virtual std::optional<std::vector<std::string>> stringArray(const std::string& key) = 0;
    virtual std::optional<Date> date(const std::string& key) = 0;

    virtual void setBoolean(const std::string& key, bool value) = 0;
    virtual void setInteger(const std::string& key, std::int64_t value) = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void setStringArray(const std::string& key, const std::vector<std::string>& value) = 0;
    virtual void setDate(const std::string& key, Date value) = 0;

    // Runs `writes`, whose values read back at once but reach the disk together, in one write
    // once `writes` has returned true. False when that write failed or `writes` answered false:
    // then none of them is kept, every value reads as before and the file is as it was. Meant
    // for one thread's writes: another thread's write meanwhile is held and undone with them.
    virtual bool writeTogether(const std::function<bool()>& writes) = 0;
};

// The agent's store: $XDG_CONFIG_HOME/ulvarend/defaults.json (folder 0700, file 0600).
std::shared_ptr<DefaultsStore> makeDefaultsStore(ErrorReporter reportError);

// A store kept in `file`, whose folder is created owner-only when missing.
std::shared_ptr<DefaultsStore> makeDefaultsStore(const std::filesystem::path& file,
                                                 ErrorReporter reportError);

} // namespace ulvarend::platform
