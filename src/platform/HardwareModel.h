#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace ulvarend::platform {

// A stable text naming the computer's hardware model; never empty.
class HardwareModel {
public:
    virtual ~HardwareModel() = default;
    virtual std::string name() = 0;
};

// Reads the firmware's vendor and product (DMI), else the device-tree model, else falls back
// to the machine architecture. `root` stands for "/" so that tests can supply their own files.
std::shared_ptr<HardwareModel> makeHardwareModel(const std::filesystem::path& root = "/");

} // namespace ulvarend::platform
