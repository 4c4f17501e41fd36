// The defaults file as found on disk: whatever it holds, opening the store must not crash, and
// a file it cannot read is kept aside unchanged rather than overwritten. Nothing is written:
// every write syncs to disk, which would leave the fuzzer a few runs a second.
#include "FuzzSupport.h"
#include "platform/DefaultsStore.h"

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <vector>

using namespace ulvarend;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string contents(reinterpret_cast<const char*>(data), size);
    const auto folder = fuzzing::temporaryFolder() / "config";
    static const bool created = std::filesystem::create_directories(folder);
    (void)created;
    const auto file = folder / "defaults.json";
    std::ofstream(file, std::ios::binary) << contents;

    std::vector<std::string> errors;
    const auto store =
        platform::makeDefaultsStore(file, [&](const std::string& e) { errors.push_back(e); });
    // Every key the agent uses, under every type; each answer is either the value or absent.
    for (const char* key : {"appHasBeenSetup", "userList", "stopTrackingData", "userId",
                            "trackingType", "currentUser", ""}) {
        (void)store->boolean(key);
        (void)store->integer(key);
        (void)store->string(key);
        (void)store->stringArray(key);
        (void)store->date(key);
    }

    // Whatever was moved aside is checked and removed, so that each run starts alike.
    bool kept = false;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with("defaults.json.corrupt-")) {
            kept = kept || fuzzing::readFile(entry.path()) == contents;
            std::filesystem::remove(entry.path());
        }
    }
    if (kept != !errors.empty()) {
        fuzzing::fail(kept ? "a file was moved aside without a word"
                           : "an unreadable defaults file was not kept aside unchanged");
    }
    return 0;
}
