// The whole setup link, read by the setup handler into real settings. The settings keep their
// values in memory: the file behind them syncs every write to disk, which would leave the
// fuzzer a few runs a second; the file's reading has a target of its own.
// An input that starts with "{" is taken as the link's payload and sent base64-encoded, so
// that the fuzzer reaches the checks behind the encoding; any other input is the link itself.
#include "FuzzSupport.h"
#include "Implementations/Settings.h"
#include "Implementations/SetupHandler.h"
#include "platform/DefaultsStore.h"
#include "platform/HardwareModel.h"

#include <QByteArray>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <variant>

namespace ulvarend {
namespace {

class StillClock final : public DateTimeHandlerProtocol {
public:
    TimePoint now() override { return TimePoint{std::chrono::seconds{1'600'000'000}}; }
};

class NoLoginItem final : public LaunchAtLoginHandlerProtocol {
public:
    bool setIsEnabled(bool) override { return true; }
};

class QuietLogger final : public LoggerProtocol {
public:
    void logUsage(const Usage&, UsageLogType) override {}
    void logInfo(const std::string&) override {}
    void logError(const std::string&) override {}
    void flush() override {}
};

class FixedModel final : public platform::HardwareModel {
public:
    std::string name() override { return "Fuzz Machine"; }
};

// Keeps each value with its type, as the file does.
class MemoryDefaults final : public platform::DefaultsStore {
public:
    using Value = std::variant<bool, std::int64_t, std::string, std::vector<std::string>, Date>;

    std::optional<bool> boolean(const std::string& key) override { return get<bool>(key); }
    std::optional<std::int64_t> integer(const std::string& key) override {
        return get<std::int64_t>(key);
    }
    std::optional<std::string> string(const std::string& key) override {
        return get<std::string>(key);
    }
    std::optional<std::vector<std::string>> stringArray(const std::string& key) override {
        return get<std::vector<std::string>>(key);
    }
    std::optional<Date> date(const std::string& key) override { return get<Date>(key); }

    void setBoolean(const std::string& key, bool value) override { values[key] = value; }
    void setInteger(const std::string& key, std::int64_t value) override { values[key] = value; }
    void setString(const std::string& key, const std::string& value) override {
        values[key] = value;
    }
    void setStringArray(const std::string& key, const std::vector<std::string>& value) override {
        values[key] = value;
    }
    void setDate(const std::string& key, Date value) override { values[key] = value; }
    bool writeTogether(const std::function<bool()>& writes) override {
        const auto before = values;
        if (!writes()) {
            values = before;
            return false;
        }
        return true;
    }

    std::map<std::string, Value> values;

private:
    template <class T> std::optional<T> get(const std::string& key) const {
        const auto found = values.find(key);
        if (found == values.end() || !std::holds_alternative<T>(found->second)) {
            return std::nullopt;
        }
        return std::get<T>(found->second);
    }
};

struct World {
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<Settings> settings = std::make_shared<Settings>(
        std::make_shared<StillClock>(), defaults, std::make_shared<FixedModel>());
    SetupHandler handler{std::make_shared<StillClock>(), std::make_shared<NoLoginItem>(),
                         std::make_shared<QuietLogger>(), settings, nullptr};
};

} // namespace
} // namespace ulvarend

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ulvarend;
    static World* world = new World;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string url =
        input.starts_with("{")
            ? "ulvarend://setup?data=" +
                  QByteArray::fromStdString(input).toBase64().toPercentEncoding().toStdString()
            : input;

    const auto before = world->defaults->values;
    if (!world->handler.setup(url)) {
        // A bad link that reaches an agent already set up leaves its study as it was.
        if (world->defaults->values != before) {
            fuzzing::fail("a refused link changed the stored settings");
        }
        return 0;
    }
    const auto users = world->settings->userList();
    if (!world->settings->appHasBeenSetup() || users.empty() || users.front().empty()) {
        fuzzing::fail("an accepted link left the settings incomplete");
    }
    return 0;
}
