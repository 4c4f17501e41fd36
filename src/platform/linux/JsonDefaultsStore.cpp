#include "models/Time.h"
#include "platform/DefaultsStore.h"
#include "platform/Paths.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>
#include <unistd.h>

namespace ulvarend::platform {
namespace {

using nlohmann::json;

// Dates are objects tagged with their type, so that no string or number can pass for one.
constexpr const char* kTypeField = "type";
constexpr const char* kDateType = "date";
constexpr const char* kDateField = "nanosecondsSince1970";
constexpr const char* kKeptInPlace =
    "It is left in place and not written in this run; every setting reads as absent.";

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
    JsonDefaultsStore(std::filesystem::path file_, ErrorReporter reportError_)
        : file(std::move(file_)), reportError(std::move(reportError_)) {
        std::string problem = load();
        if (!problem.empty()) {
            report(problem);
        }
    }

    std::optional<bool> boolean(const std::string& key) override {
        std::lock_guard lock(mutex);
        const json* value = find(key);
        if (value == nullptr || !value->is_boolean()) {
            return std::nullopt;
        }
        return value->get<bool>();
    }

    std::optional<std::int64_t> integer(const std::string& key) override {
        std::lock_guard lock(mutex);
        const json* value = find(key);
        return value == nullptr ? std::nullopt : asInteger(*value);
    }

    std::optional<std::string> string(const std::string& key) override {
        std::lock_guard lock(mutex);
        const json* value = find(key);
        if (value == nullptr || !value->is_string()) {
            return std::nullopt;
        }
        return value->get<std::string>();
    }

    std::optional<std::vector<std::string>> stringArray(const std::string& key) override {
        std::lock_guard lock(mutex);
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
        std::lock_guard lock(mutex);
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

    bool writeTogether(const std::function<bool()>& writes) override {
        json before;
        {
            std::lock_guard lock(mutex);
            before = document;
            ++holding;
        }
        bool ready = false;
        try {
            ready = writes();
        } catch (...) {
            std::lock_guard lock(mutex);
            --holding;
            document = std::move(before);
            throw;
        }
        std::string problem;
        bool saved = false;
        {
            std::lock_guard lock(mutex);
            --holding;
            // An inner one is saved with the outer one.
            saved =
                ready && (holding > 0 ||
                          save(document.dump(2, ' ', false, json::error_handler_t::replace) + "\n",
                               problem));
            if (!saved) {
                document = std::move(before);
            }
        }
        if (!problem.empty()) {
            report(problem);
        }
        return saved;
    }

private:
    const json* find(const std::string& key) const {
        const auto found = document.find(key);
        return found == document.end() ? nullptr : &*found;
    }

    void report(const std::string& message) {
        if (reportError) {
            reportError(message);
        }
    }

    // Reads the file into the document; answers the error line to report, if any.
    std::string load() {
        std::error_code error;
        if (!std::filesystem::exists(file, error)) {
            if (error) {
                // Whether a file is there is not known, so none may be written over.
                keepFile = true;
                return "Could not read the defaults file " + file.string() + ": " +
                       error.message() + ". " + kKeptInPlace;
            }
            return {};
        }
        // A file that cannot be opened or read says nothing about its contents: it stays as
        // it is, and this run writes nothing over it.
        std::string contents;
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return ioProblem("cannot open the file");
        }
        char buffer[8192];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                const int saved = errno;
                close(fd);
                errno = saved;
                return ioProblem("cannot read the file");
            }
            if (n == 0) {
                break;
            }
            contents.append(buffer, static_cast<std::size_t>(n));
        }
        close(fd);
        std::string problem;
        try {
            json parsed = json::parse(contents);
            if (parsed.is_object()) {
                document = std::move(parsed);
                return {};
            }
            problem = "the top level is not an object";
        } catch (const json::exception& exception) {
            problem = exception.what();
        }
        return "Could not read the defaults file " + file.string() + " (" + problem + "); " +
               moveAside() + " Every setting reads as absent.";
    }

    std::string ioProblem(const char* what) {
        const auto code = std::error_code(errno, std::generic_category());
        keepFile = true;
        return "Could not read the defaults file " + file.string() + " (" + what + ": " +
               code.message() + "). " + kKeptInPlace;
    }

    // Keeps an unreadable file for inspection instead of overwriting it with the next write.
    std::string moveAside() {
        const std::string base = file.string() + ".corrupt-" +
                                 formatUtc(std::chrono::system_clock::now(), UtcForm::compact);
        std::string target = base;
        for (int n = 1; std::filesystem::exists(target); ++n) {
            target = base + "-" + std::to_string(n);
        }
        if (std::rename(file.c_str(), target.c_str()) != 0) {
            return "it could not be moved aside: " +
                   std::error_code(errno, std::generic_category()).message() + ".";
        }
        return "moved it aside as " + target + ".";
    }

    void store(const std::string& key, json value) {
        std::string problem;
        {
            std::lock_guard lock(mutex);
            json next = document;
            next[key] = std::move(value);
            // Text that is not UTF-8 cannot be written as JSON; it is stored with replacement
            // characters, and the document keeps what the file holds.
            const std::string text =
                next.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
            document = json::parse(text);
            if (holding == 0) {
                save(text, problem);
            }
        }
        if (!problem.empty()) {
            report(problem);
        }
    }

    // Writes `text` as the file, under the lock; false when it did not reach the disk, with
    // the line to report, if any, in `problem`.
    bool save(const std::string& text, std::string& problem) {
        if (keepFile) {
            if (!toldKept) {
                toldKept = true;
                problem = "Not saving the defaults file " + file.string() +
                          " in this run: it could not be read, so it is left as it is.";
            }
            return false;
        }
        try {
            ensureDirectory(file.parent_path(), 0700);
            writeFileAtomically(file, text, 0600);
        } catch (const std::exception& exception) {
            problem = "Could not save the defaults file " + file.string() + ": " + exception.what();
            return false;
        }
        return true;
    }

    const std::filesystem::path file;
    const ErrorReporter reportError;
    std::mutex mutex;
    json document = json::object();
    // The file could not be read: it is left in place and nothing is written over it.
    bool keepFile = false;
    bool toldKept = false;
    // Inside writeTogether: writes change the document only.
    int holding = 0;
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
