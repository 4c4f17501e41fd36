#include "platform/DefaultsStore.h"

#include "models/Time.h"
#include "platform/Paths.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <fstream>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

namespace ulvarend::platform {
namespace {

using nlohmann::json;

// Dates are objects tagged with their type, so that no string or number can pass for one.
constexpr const char* kTypeField = "type";
constexpr const char* kDateType = "date";
constexpr const char* kDateField = "nanosecondsSince1970";

json encodeDate(DefaultsStore::Date value) {
    const auto nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(value.time_since_epoch()).count();
    return json{{kTypeField, kDateType}, {kDateField, static_cast<std::int64_t>(nanoseconds)}};
}

std::optional<std::int64_t> asInteger(const json& value) {
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(unsignedValue);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    return std::nullopt;
}

class JsonDefaultsStore final : public DefaultsStore {
public:
    JsonDefaultsStore(std::filesystem::path file, ErrorReporter reportError)
        : file_(std::move(file)), reportError_(std::move(reportError)) {
        std::string problem = load();
        if (!problem.empty()) {
            report(problem);
        }
    }

    std::optional<bool> boolean(const std::string& key) override {
        std::lock_guard lock(mutex_);
        const json* value = find(key);
        if (value == nullptr || !value->is_boolean()) {
            return std::nullopt;
        }
        return value->get<bool>();
    }

    std::optional<std::int64_t> integer(const std::string& key) override {
        std::lock_guard lock(mutex_);
        const json* value = find(key);
        return value == nullptr ? std::nullopt : asInteger(*value);
    }

    std::optional<std::string> string(const std::string& key) override {
        std::lock_guard lock(mutex_);
        const json* value = find(key);
        if (value == nullptr || !value->is_string()) {
            return std::nullopt;
        }
        return value->get<std::string>();
    }

    std::optional<std::vector<std::string>> stringArray(const std::string& key) override {
        std::lock_guard lock(mutex_);
        const json* value = find(key);
        if (value == nullptr || !value->is_array()) {
            return std::nullopt;
        }
        std::vector<std::string> answer;
        answer.reserve(value->size());
        for (const json& element : *value) {
            if (!element.is_string()) {
                return std::nullopt;
            }
            answer.push_back(element.get<std::string>());
        }
        return answer;
    }

    std::optional<Date> date(const std::string& key) override {
        std::lock_guard lock(mutex_);
        const json* value = find(key);
        if (value == nullptr || !value->is_object() || value->size() != 2) {
            return std::nullopt;
        }
        const auto type = value->find(kTypeField);
        const auto field = value->find(kDateField);
        if (type == value->end() || field == value->end() || *type != kDateType) {
            return std::nullopt;
        }
        const auto nanoseconds = asInteger(*field);
        if (!nanoseconds) {
            return std::nullopt;
        }
        return Date{
            std::chrono::duration_cast<Date::duration>(std::chrono::nanoseconds{*nanoseconds})};
    }

    void setBoolean(const std::string& key, bool value) override { store(key, json(value)); }
    void setInteger(const std::string& key, std::int64_t value) override {
        store(key, json(value));
    }
    void setString(const std::string& key, const std::string& value) override {
        store(key, json(value));
    }
    void setStringArray(const std::string& key, const std::vector<std::string>& value) override {
        store(key, json(value));
    }
    void setDate(const std::string& key, Date value) override { store(key, encodeDate(value)); }

private:
    const json* find(const std::string& key) const {
        const auto found = document_.find(key);
        return found == document_.end() ? nullptr : &*found;
    }

    void report(const std::string& message) {
        if (reportError_) {
            reportError_(message);
        }
    }

    // Reads the file into the document; answers the error line to report, if any.
    std::string load() {
        std::error_code error;
        if (!std::filesystem::exists(file_, error)) {
            return error ? "Could not read the defaults file " + file_.string() + ": " +
                               error.message()
                         : std::string();
        }
        std::string problem;
        try {
            std::ifstream in(file_, std::ios::binary);
            if (!in) {
                throw std::system_error(errno, std::generic_category(), "cannot open the file");
            }
            std::ostringstream contents;
            contents << in.rdbuf();
            if (in.bad()) {
                throw std::system_error(errno, std::generic_category(), "cannot read the file");
            }
            json parsed = json::parse(contents.str());
            if (!parsed.is_object()) {
                throw std::runtime_error("the top level is not an object");
            }
            document_ = std::move(parsed);
            return {};
        } catch (const std::exception& exception) {
            problem = exception.what();
        }
        return "Could not read the defaults file " + file_.string() + " (" + problem + "); " +
               moveAside() + " Every setting reads as absent.";
    }

    // Keeps an unreadable file for inspection instead of overwriting it with the next write.
    std::string moveAside() {
        const std::string base = file_.string() + ".corrupt-" + formatUtc(std::chrono::system_clock::now(), UtcForm::compact);
        std::string target = base;
        for (int n = 1; std::filesystem::exists(target); ++n) {
            target = base + "-" + std::to_string(n);
        }
        if (std::rename(file_.c_str(), target.c_str()) != 0) {
            return "it could not be moved aside: " +
                   std::error_code(errno, std::generic_category()).message() + ".";
        }
        return "moved it aside as " + target + ".";
    }

    void store(const std::string& key, json value) {
        std::string problem;
        {
            std::lock_guard lock(mutex_);
            json next = document_;
            next[key] = std::move(value);
            // Text that is not UTF-8 cannot be written as JSON; it is stored with replacement
            // characters, and the document keeps what the file holds.
            const std::string text =
                next.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
            document_ = json::parse(text);
            try {
                ensureDirectory(file_.parent_path(), 0700);
                writeFileAtomically(file_, text, 0600);
            } catch (const std::exception& exception) {
                problem =
                    "Could not save the defaults file " + file_.string() + ": " + exception.what();
            }
        }
        if (!problem.empty()) {
            report(problem);
        }
    }

    const std::filesystem::path file_;
    const ErrorReporter reportError_;
    std::mutex mutex_;
    json document_ = json::object();
};

} // namespace

std::shared_ptr<DefaultsStore> makeDefaultsStore(ErrorReporter reportError) {
    return makeDefaultsStore(configHome() / "ulvarend" / "defaults.json", std::move(reportError));
}

std::shared_ptr<DefaultsStore> makeDefaultsStore(const std::filesystem::path& file,
                                                 ErrorReporter reportError) {
    return std::make_shared<JsonDefaultsStore>(file, std::move(reportError));
}

} // namespace ulvarend::platform
