#include "platform/HardwareModel.h"

#include <fstream>
#include <sstream>
#include <sys/utsname.h>

namespace ulvarend::platform {
namespace {

std::string trimmed(std::string text) {
    // The device-tree model ends in a NUL; firmware fields often end in a newline or padding.
    constexpr std::string_view kBlank = " \t\r\n\v\f";
    while (!text.empty() && (text.back() == '\0' || kBlank.find(text.back()) != kBlank.npos)) {
        text.pop_back();
    }
    std::size_t start = 0;
    while (start < text.size() && kBlank.find(text[start]) != kBlank.npos) {
        ++start;
    }
    return text.substr(start);
}

std::string readTrimmed(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    return trimmed(contents.str());
}

std::string modelName(const std::filesystem::path& root) {
    const std::string vendor = readTrimmed(root / "sys/class/dmi/id/sys_vendor");
    const std::string product = readTrimmed(root / "sys/class/dmi/id/product_name");
    if (!vendor.empty() || !product.empty()) {
        return vendor.empty() ? product : product.empty() ? vendor : vendor + " " + product;
    }
    if (std::string model = readTrimmed(root / "proc/device-tree/model"); !model.empty()) {
        return model;
    }
    utsname system{};
    if (uname(&system) == 0) {
        if (std::string machine = trimmed(system.machine); !machine.empty()) {
            return machine;
        }
    }
    return "unknown";
}

// The model does not change while the agent runs, so it is read once.
class SysfsHardwareModel final : public HardwareModel {
public:
    explicit SysfsHardwareModel(const std::filesystem::path& root) : cachedName(modelName(root)) {}
    std::string name() override { return cachedName; }

private:
    const std::string cachedName;
};

} // namespace

std::shared_ptr<HardwareModel> makeHardwareModel(const std::filesystem::path& root) {
    return std::make_shared<SysfsHardwareModel>(root);
}

} // namespace ulvarend::platform
