// The scan's list of ports on Linux, from a folder tree shaped like sysfs
// (the test seam OFWU_SYSFS_DIR and OFWU_DEV_DIR).
#ifndef _WIN32

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/serial_port.h"

namespace {

namespace fs = std::filesystem;

// One tty in the fake sysfs: with a device link or not, a "type" file, a driver.
struct Tty {
    Tty(std::string n, bool d = true, std::string t = "", std::string drv = "")
        : name(std::move(n)), device(d), type(std::move(t)), driver(std::move(drv)) {}
    std::string name;
    bool device;
    std::string type;     // empty: no type file
    std::string driver;   // empty: no driver link
};

class PortDiscovery : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ofwu-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        ASSERT_EQ(setenv("OFWU_SYSFS_DIR", (root_ / "sys").c_str(), 1), 0);
        ASSERT_EQ(setenv("OFWU_DEV_DIR", (root_ / "dev").c_str(), 1), 0);
        ASSERT_EQ(unsetenv("OFWU_COM_DIR"), 0);
    }
    void TearDown() override {
        unsetenv("OFWU_SYSFS_DIR");
        unsetenv("OFWU_DEV_DIR");
        fs::remove_all(root_);
    }
    void make(const std::vector<Tty>& ttys) {
        fs::create_directories(root_ / "dev");
        for (const Tty& t : ttys) {
            const fs::path dir = root_ / "sys/class/tty" / t.name;
            fs::create_directories(dir);
            if (t.device) fs::create_directories(dir / "device");
            if (!t.type.empty()) std::ofstream(dir / "type") << t.type << "\n";
            if (!t.driver.empty()) fs::create_directory_symlink("../../../bus/drivers/" + t.driver, dir / "device/driver");
            // A device node that answers no serial ioctl.
            fs::create_symlink("/dev/null", root_ / "dev" / t.name);
        }
    }
    std::vector<std::string> listed() {
        // Room for as many as the program's list holds: the Linux scan keeps to 16 itself.
        PortCandidate list[SCAN_LIST_MAX];
        const uint32_t count = port_scan_list(list, SCAN_LIST_MAX);
        std::vector<std::string> names;
        for (uint32_t i = 0; i < count; ++i) {
            EXPECT_EQ(list[i].number, 0u);
            EXPECT_STREQ(list[i].device, list[i].label);
            names.push_back(fs::path(list[i].label).filename().string());
            EXPECT_EQ(std::string(list[i].label), (root_ / "dev" / names.back()).string());
        }
        return names;
    }
    fs::path root_;
};

TEST_F(PortDiscovery, UsbThenAcmThenOthersEachInNaturalOrder) {
    make({{"ttyUSB10"}, {"ttyS1", true, "0"}, {"ttyACM1"}, {"ttyUSB2"}, {"ttyS0", true, "4"}, {"ttyACM0"},
          {"ttyAMA0", true, "", "uart-pl011"}, {"ttyS3", true, "", "serial8250"}, {"tty1", false}, {"console", false},
          {"ttyUSB1"}});
    EXPECT_EQ(listed(), (std::vector<std::string>{"ttyUSB1", "ttyUSB2", "ttyUSB10", "ttyACM0", "ttyACM1", "ttyAMA0",
                                                  "ttyS0"}))
        << "no device link, a UART of type 0, and an 8250 port whose type no ioctl tells are left out";
    // The kernel writes its console to ttyS0 and ttyACM1: the scan leaves them alone.
    std::ofstream(root_ / "sys/class/tty/console/active") << "tty0 ttyACM1 ttyS0\n";
    EXPECT_EQ(listed(), (std::vector<std::string>{"ttyUSB1", "ttyUSB2", "ttyUSB10", "ttyACM0", "ttyAMA0"}));
}

TEST_F(PortDiscovery, AtMostSixteenAndNoneWhenTheMachineHasNone) {
    std::vector<Tty> many;
    for (int i = 19; i >= 0; --i) many.push_back({"ttyUSB" + std::to_string(i)});
    many.push_back({"ttyACM0"});
    make(many);
    const std::vector<std::string> names = listed();
    ASSERT_EQ(names.size(), SCAN_PORTS_MAX);
    EXPECT_EQ(names.front(), "ttyUSB0");
    EXPECT_EQ(names.back(), "ttyUSB15");

    fs::remove_all(root_ / "sys");
    make({{"tty0", false}, {"ptmx", false}});
    EXPECT_EQ(listed(), std::vector<std::string>());
    fs::remove_all(root_ / "sys");
    EXPECT_EQ(listed(), std::vector<std::string>()) << "no sysfs at all";
}

TEST_F(PortDiscovery, ComFolderKeepsItsSixteenNumbers) {
    ASSERT_EQ(setenv("OFWU_COM_DIR", root_.c_str(), 1), 0);
    PortCandidate list[SCAN_PORTS_MAX];
    ASSERT_EQ(port_scan_list(list, SCAN_PORTS_MAX), SCAN_PORTS_MAX);
    EXPECT_EQ(list[0].number, 1u);
    EXPECT_STREQ(list[0].label, "COM1");
    EXPECT_EQ(std::string(list[15].device), (root_ / "COM16").string());
    unsetenv("OFWU_COM_DIR");
}

}  // namespace

#endif
