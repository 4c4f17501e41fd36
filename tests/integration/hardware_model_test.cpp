#include "platform/HardwareModel.h"
#include "support/TemporaryHome.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

namespace ulvarend {
namespace {

using ulvarend::testing::TemporaryHome;
using ulvarend::testing::writeFile;

class HardwareModelTest : public ::testing::Test {
protected:
    TemporaryHome home;
    std::filesystem::path root = home.root() / "root";

    void write(const std::string& file, const std::string& contents) {
        writeFile(root / file, contents);
    }
    std::string model() { return platform::makeHardwareModel(root)->name(); }
};

TEST_F(HardwareModelTest, FirmwareVendorAndProductComeFirst) {
    write("sys/class/dmi/id/sys_vendor", "  LENOVO \n");
    write("sys/class/dmi/id/product_name", "20XW0055MX\n");
    write("proc/device-tree/model", std::string("Raspberry Pi 4 Model B Rev 1.4\0", 31));
    EXPECT_EQ(model(), "LENOVO 20XW0055MX");
}

TEST_F(HardwareModelTest, OneFirmwareFieldIsEnough) {
    write("sys/class/dmi/id/product_name", "Precision 5570\n");
    EXPECT_EQ(model(), "Precision 5570");
    std::filesystem::remove_all(root);
    write("sys/class/dmi/id/sys_vendor", "Dell Inc.\n");
    write("sys/class/dmi/id/product_name", " \n");
    EXPECT_EQ(model(), "Dell Inc.");
}

TEST_F(HardwareModelTest, BlankFirmwareFallsBackToTheDeviceTreeWithoutItsNul) {
    write("sys/class/dmi/id/sys_vendor", "\n");
    write("sys/class/dmi/id/product_name", "");
    write("proc/device-tree/model", std::string("Raspberry Pi 4 Model B Rev 1.4\0", 31));
    EXPECT_EQ(model(), "Raspberry Pi 4 Model B Rev 1.4");
}

TEST_F(HardwareModelTest, WithNeitherTheMachineArchitectureIsAnswered) {
    write("proc/device-tree/model", std::string("\0", 1));
    utsname system{};
    ASSERT_EQ(uname(&system), 0);
    EXPECT_EQ(model(), system.machine);
    EXPECT_FALSE(model().empty());
}

TEST(HardwareModelOfThisMachine, IsNeverEmpty) {
    EXPECT_FALSE(platform::makeHardwareModel()->name().empty());
}

} // namespace
} // namespace ulvarend
