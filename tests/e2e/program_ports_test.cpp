// The program's ports on Linux: a USB adapter found through a folder tree
// shaped like sysfs (the test seam OFWU_SYSFS_DIR and OFWU_DEV_DIR) or named
// by its path; what it says when it may not open a port or another program
// holds it; the lock files serial programs share ports by; paths that name
// no port at all; and --ports. On Windows (under Wine): the COM ports the
// system lists above COM16, scanned and listed by --ports.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "e2e_process.h"
#include "program_e2e.h"

namespace {

namespace fs = std::filesystem;

// A fake /dev and sysfs that list a USB adapter (ttyUSB0, where the device
// stands) and a legacy port with no UART behind it (ttyS0, type 0).
class LinuxPorts : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path.empty());
        root_ = folder_.path;
        for (const char* dir : {"dev", "lock", "sys/class/tty/ttyUSB0/device", "sys/class/tty/ttyS0/device"}) {
            fs::create_directories(root_ / dir);
        }
        std::ofstream(root_ / "sys/class/tty/ttyS0/type") << "0\n";
        // Another user (the permission case) must reach the device through it.
        fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
    }
    std::string device() const { return (root_ / "dev/ttyUSB0").string(); }
    std::string lock_file() const {
        char real[PATH_MAX];
        if (realpath(device().c_str(), real) == nullptr) return "";
        std::string name = std::string(real).substr(5);  // after "/dev/"
        for (char& c : name) c = c == '/' ? '_' : c;
        return (root_ / "lock" / ("LCK.." + name)).string();
    }
    RunPlan plan(const std::vector<std::string>& args) const {
        RunPlan p;
        p.args = args;
        p.env = {{"OFWU_COM_DIR", ""},
                 {"OFWU_SYSFS_DIR", (root_ / "sys").string()},
                 {"OFWU_DEV_DIR", (root_ / "dev").string()},
                 {"OFWU_LOCK_DIR", (root_ / "lock").string()}};
        p.keys = {{KEY_PROMPT, "x"}};
        p.timeout_ms = 20000;
        return p;
    }
    // The device at ttyUSB0, started by the test (so that a lock can be made
    // for its pseudo-terminal before the program runs).
    void start_device(const std::vector<std::string>& args) {
        std::string error;
        ASSERT_TRUE(devsim_start(device(), root_.string(), 1, args, &device_, &error)) << error;
    }
    DeviceOutcome stop_device() { return devsim_stop(&device_); }

    TempFolder folder_;
    fs::path root_;
    DevsimProcess device_;
};

// Found with no argument and with its path as the argument, every message
// naming the path; the lock it took is gone at the end.
TEST_F(LinuxPorts, AUsbAdapterIsFoundAndNamedByItsPath) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, std::vector<std::string>{device()}}) {
        SCOPED_TRACE(args.empty() ? "scan" : "path");
        RunPlan p = plan(args);
        p.devices = {{1, concat(snd44(1), {"--unplug-at", "query:2"}), device()}};
        const RunResult run = e2e_run(p);
        ASSERT_EQ(run.error, "");
        expect_ended(run);
        expect_transcript(run.output, text_head() + text_port(device(), PORT_FOUND) + "\n" + text_gone_from(device()) +
                                          text_exit());
        EXPECT_TRUE(fs::is_empty(root_ / "lock")) << "the lock file is removed at the end";
    }
}

TEST_F(LinuxPorts, AMachineWithoutPortsSaysSo) {
    fs::remove_all(root_ / "sys/class/tty/ttyUSB0");
    const RunResult run = e2e_run(plan({}));
    ASSERT_EQ(run.error, "");
    expect_ended(run);
    expect_transcript(run.output, text_head() + "\nNo serial port was found on this machine." + NOTHING_FOUND + text_exit());
}

// Paths that name no port: refused without a byte written to them.
TEST_F(LinuxPorts, PathsThatAreNoPort) {
    const fs::path file = root_ / "file";
    std::ofstream(file).close();
    const fs::path fifo = root_ / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {file.string(), fifo.string(), root_.string(), std::string("/dev/null"),
                                   (root_ / "dev/ttyUSB9").string()}) {
        SCOPED_TRACE(path);
        const RunResult run = e2e_run(plan({path}));
        ASSERT_EQ(run.error, "");
        expect_ended(run);
        expect_transcript(run.output, text_head() + text_port(path, PORT_NOT_OPENED) + NOTHING_FOUND + text_exit());
    }
    EXPECT_EQ(fs::file_size(file), 0u) << "nothing was written to the file";
    const std::string long_path = "/dev/" + std::string(600, 'x');
    const RunResult run = e2e_run(plan({long_path}));
    expect_transcript(run.output, text_head() + "\nThe port name given is too long: at most 511 characters.\n" + text_exit());
}

// A live program's lock, or a program that opened the port without one,
// keeps the program off; a stale, empty or garbage lock, or a link in its
// place (never followed), does not.
TEST_F(LinuxPorts, LockFilesAndOtherProgramsDecideWhetherThePortIsFree) {
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    // The name the lock stands under: the device's own, or one another tool
    // derives from the name it was given (a symbolic link to the device).
    const std::string given_last = (root_ / "lock/LCK..ttyUSB0").string();
    std::string given_whole = device().substr(1);
    for (char& c : given_whole) c = c == '/' ? '_' : c;
    given_whole = (root_ / "lock").string() + "/LCK.." + given_whole;
    struct Case { const char* name; std::string lock; bool open_it; bool link; bool free; std::string at; };
    const Case cases[] = {
        {"a live program's lock", std::to_string(getpid()), false, false, false, ""},
        {"a live lock named by the link's last part", std::to_string(getpid()), false, false, false, given_last},
        {"a live lock named by the link's path", std::to_string(getpid()), false, false, false, given_whole},
        {"a program holding the port", "", true, false, false, ""},
        {"a stale lock", std::to_string(gone), false, false, true, ""},
        {"a stale lock named by the link's last part", std::to_string(gone), false, false, true, given_last},
        {"garbage", "garbage", false, false, true, ""},
        {"an empty lock", "\n", false, false, true, ""},
        {"a link in the lock's place", "", false, true, true, ""},
    };
    const fs::path victim = root_ / "victim";
    const std::string own_name = file_text("/proc/self/comm").substr(0, file_text("/proc/self/comm").find('\n'));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(start_device(concat(snd44(1), {"--unplug-at", "query:2"})));
        const std::string lock = c.at.empty() ? lock_file() : c.at;
        ASSERT_FALSE(lock.empty());
        if (!c.lock.empty()) std::ofstream(lock) << (c.lock == "\n" ? "" : c.lock + "\n");
        if (c.link) {
            std::ofstream(victim) << "untouched";
            fs::create_symlink(victim, lock);
        }
        const int held = c.open_it ? open(device().c_str(), O_RDWR | O_NOCTTY) : -1;
        const RunResult run = e2e_run(plan({device()}));
        if (held >= 0) close(held);
        const DeviceOutcome d = stop_device();
        ASSERT_EQ(run.error, "");
        expect_ended(run);
        if (c.free) {
            expect_transcript(run.output, text_head() + text_port(device(), PORT_FOUND) + "\n" + text_gone_from(device()) +
                                              text_exit());
        } else {
            expect_transcript(run.output, text_head() + text_port(device(), PORT_NOT_OPENED) + "\n  " + device() +
                                              " is in use by " + own_name + " (process " + std::to_string(getpid()) +
                                              ")." + NOTHING_FOUND + text_exit());
            expect_untouched(d);
        }
        EXPECT_EQ(path_exists(lock), !c.free && !c.lock.empty()) << "only a live program's lock stays";
        EXPECT_EQ(fs::is_empty(root_ / "lock"), c.free || c.lock.empty()) << "no lock of the program's is left";
        if (c.link) {
            EXPECT_EQ(file_text(victim.string()), "untouched");
        }
        fs::remove(lock);
    }
}

// --ports lists the ports in the scan's order with what sysfs tells of
// them, and those the scan skips with the reason; it opens none. With
// OFWU_COM_DIR, the COM numbers of that folder.
TEST_F(LinuxPorts, PortsListsEachPortAndWhyTheScanSkipsOne) {
    const fs::path tty = root_ / "sys/class/tty";
    // 14 more USB adapters and an ACM device fill the scan's 16; ttyAMA0 is the 17th.
    for (int n = 1; n <= 14; ++n) fs::create_directories(tty / ("ttyUSB" + std::to_string(n)) / "device");
    for (const char* dir : {"ttyACM0/device", "ttyAMA0/device", "ttyS1/device", "ttyS2", "tty1", "console"}) {
        fs::create_directories(tty / dir);
    }
    // A USB device's attributes stand in a folder above its tty's device.
    const std::pair<const char*, const char*> files[] = {
        {"ttyUSB0/idVendor", "0403"}, {"ttyUSB0/idProduct", "6001"}, {"ttyUSB0/serial", "A50285BI"},
        {"ttyACM0/idVendor", "2341"}, {"ttyACM0/idProduct", "0043"}, {"ttyS1/type", "4"},
        {"console/active", "tty0 ttyS1"}};
    for (const auto& [file, text] : files) std::ofstream(tty / file) << text << "\n";
    fs::create_symlink("../../../bus/drivers/ftdi_sio", tty / "ttyUSB0/device/driver");
    fs::create_symlink("../../../bus/drivers/cdc_acm", tty / "ttyACM0/device/driver");
    const fs::path by_id = root_ / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
    fs::create_directories(by_id.parent_path());
    fs::create_symlink("../../ttyUSB0", by_id);
    ASSERT_NO_FATAL_FAILURE(start_device(snd44(1)));

    const std::string dev = (root_ / "dev").string() + "/";
    std::string listing = device() + "  " + by_id.string() + "  ftdi_sio  USB 0403:6001 A50285BI  in use by another " +
                          "program (process " + std::to_string(getpid()) + ")\n";
    for (int n = 1; n <= 14; ++n) listing += dev + "ttyUSB" + std::to_string(n) + "\n";
    for (const char* line : {"ttyACM0  cdc_acm  USB 2341:0043", "ttyAMA0  past the first 16: the scan skips it; name "
                             "it to use it", "ttyS0  no UART answers there: the scan skips it", "ttyS1  the kernel's "
                             "console: the scan leaves it alone", "ttyS2  no device behind it: the scan skips it"}) {
        listing += dev + line + "\n";
    }
    const int held = open(device().c_str(), O_RDWR | O_NOCTTY);
    RunPlan p = plan({"--ports"});
    const RunResult run = e2e_run(p);
    close(held);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, listing);

    fs::create_directories(root_ / "com");
    fs::create_symlink(device(), root_ / "com/COM3");
    p.env.push_back({"OFWU_COM_DIR", (root_ / "com").string()});
    const RunResult com = e2e_run(p);
    expect_untouched(stop_device());
    EXPECT_EQ(com.exit_status, 0);
    EXPECT_EQ(com.output, "COM3  " + (root_ / "com/COM3").string() + "\n");
}

// Tests run as root, whom no permission stops: the program runs as nobody.
// Joining the device's group is advised only where that group may read and
// write it and is not root's.
TEST_F(LinuxPorts, NoPermissionSaysWhoMayUseThePort) {
    E2E_REQUIRE(geteuid() != 0 ? "root, to run the program as nobody" : e2e_missing_program("/usr/bin/setpriv"));
    const group* dialout = getgrnam("dialout");
    const gid_t members = dialout != nullptr ? dialout->gr_gid : 20;
    const std::string members_name = dialout != nullptr ? dialout->gr_name : "20";
    struct Case { mode_t mode; gid_t group; std::string hint; };
    const std::vector<Case> cases = {
        {0660, members, "it belongs to the group \"" + members_name + "\". Join that group with \"sudo usermod -aG " +
                            members_name + " $USER\", then log out and in again."},
        {0600, 0, "(owner root, group root, mode crw-------)."},
        {0620, members, "(owner root, group " + members_name + ", mode crw--w----)."},
        {0660, 0, "(owner root, group root, mode crw-rw----)."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hint);
        ASSERT_NO_FATAL_FAILURE(start_device(snd44(1)));
        char real[PATH_MAX];
        ASSERT_NE(realpath(device().c_str(), real), nullptr);
        ASSERT_EQ(chown(real, 0, c.group), 0);
        ASSERT_EQ(chmod(real, c.mode), 0);
        RunPlan p = plan({device()});
        p.launcher = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
        const RunResult run = e2e_run(p);
        expect_untouched(stop_device());
        ASSERT_EQ(run.error, "");
        expect_ended(run);
        const std::string joiner = c.hint.front() == '(' ? " " : ": ";
        expect_transcript(run.output, text_head() + text_port(device(), PORT_NOT_OPENED) + "\n  You may not use " +
                                          device() + joiner + c.hint + NOTHING_FOUND + text_exit());
    }
}

// Where no lock file can be made, the program still updates, and says that
// other programs are not kept off the port.
TEST_F(LinuxPorts, AnUnusableLockFolderIsSaid) {
    RunPlan p = plan({device()});
    p.env.back().second = (root_ / "no-such-folder").string();
    p.devices = {{1, concat(snd44(1), {"--unplug-at", "query:2"}), device()}};
    const RunResult run = e2e_run(p);
    ASSERT_EQ(run.error, "");
    expect_ended(run);
    expect_transcript(run.output, text_head() + text_port(device(), PORT_FOUND) + "\n  " + device() +
                                      " is not locked against other programs: no lock file could be made in the lock "
                                      "folder.\n" + text_gone_from(device()) + text_exit());
}

// Under Wine: `wine reg add` of the list of COM ports the system keeps, as
// Windows writes it: value names are the drivers' device names, the data
// the port's name.
std::vector<std::vector<std::string>> serialcomm(const std::vector<std::pair<std::string, std::string>>& values) {
    std::vector<std::vector<std::string>> commands;
    for (const auto& [name, data] : values) {
        commands.push_back({"add", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/v", name, "/d", data, "/f"});
    }
    return commands;
}

const char ENUM_USB[] = "HKLM\\System\\CurrentControlSet\\Enum\\USB\\";

// A device of the Ports class as the device manager records it, below Enum\USB.
void add_usb_port(RunPlan* plan, const std::string& instance, const std::string& friendly, const std::string& port) {
    const std::string key = ENUM_USB + instance;
    plan->wine_reg_before.push_back({"add", key, "/v", "ClassGUID", "/d", "{4d36e978-e325-11ce-bfc1-08002be10318}", "/f"});
    plan->wine_reg_before.push_back({"add", key, "/v", "FriendlyName", "/d", friendly, "/f"});
    plan->wine_reg_before.push_back({"add", key + "\\Device Parameters", "/v", "PortName", "/d", port, "/f"});
    // Removed after the run: the key of its vendor and product ids, and all below it.
    plan->wine_reg_after.push_back({"delete", key.substr(0, key.find('\\', sizeof ENUM_USB - 1)), "/f"});
}

std::vector<ProgramCase> windows_port_cases() {
    std::vector<ProgramCase> cases;
    // COM20 and COM23 are listed (in another order); COM5 is tried once, in
    // its place among the 16; COM17 is not listed: its look-alikes are no
    // COM ports of ours.
    cases.push_back(
        {"TheScanGoesOnToTheListedPortsAboveCom16",
         [](bool) {
             RunPlan plan;
             plan.devices = {{23, concat(snd44(1), {"--line", "100:=P"})}};
             plan.keys = {{NEWER_QUESTION, "y"}, {KEY_PROMPT, "x"}};
             plan.wine_reg_before = serialcomm({{"\\Device\\VCP0", "COM23"}, {"\\Device\\Serial0", "COM5"},
                                                {"\\Device\\USBSER000", "COM20"}, {"a", "COM17 "}, {"b", "COM017"},
                                                {"c", "COM0"}, {"d", "COM100"}, {"e", "LPT17"}});
             return plan;
         },
         [](const RunResult& run, bool) {
             expect_ended(run);
             std::string scan;
             for (uint32_t com = 1; com <= 16; ++com) scan += text_port(com, PORT_NOT_OPENED);
             expect_transcript(run.output, text_head() + scan + text_port(20, PORT_NOT_OPENED) +
                                               text_port(23, PORT_FOUND) + "\n" + text_newer() + "Y\n" +
                                               text_progress(snd44_image().block_count, true) + text_exit());
             expect_image_complete(run.devices.at(0), 1);
         }});
    // Each listed port in number order, with what the device manager knows
    // of it; no port is opened.
    cases.push_back(
        {"PortsListsTheListedPorts",
         [](bool) {
             RunPlan plan;
             plan.args = {"--ports"};
             plan.devices = {{23, {}}};
             plan.wine_reg_before = serialcomm({{"\\Device\\VCP0", "COM23"}, {"\\Device\\USBSER000", "COM3"}});
             add_usb_port(&plan, "VID_0403&PID_6001\\A50285BI", "USB Serial Port (COM23)", "COM23");
             add_usb_port(&plan, "VID_2341&PID_0043&MI_00\\6&1a2b3c&0&0000", "USB Serial Device (COM3)", "COM3");
             return plan;
         },
         [](const RunResult& run, bool) {
             EXPECT_EQ(run.exit_status, 0);
             EXPECT_EQ(run.output, "COM3  USB Serial Device (COM3)  USB 2341:0043\n"
                                   "COM23  USB Serial Port (COM23)  USB 0403:6001 A50285BI\n");
             expect_untouched(run.devices.at(0));
         }});
    return cases;
}

class ProgramWindowsPorts : public testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramWindowsPorts, Wine) {
    run_program_case(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramWindowsPorts, testing::ValuesIn(windows_port_cases()), program_case_name);

}  // namespace
