// The program's ports on Linux: a USB adapter found through a folder tree
// shaped like sysfs (the test seam OFWU_SYSFS_DIR and OFWU_DEV_DIR) or named
// by its path; what it says when it may not open a port or another program
// holds it; the lock files serial programs share ports by; and paths that
// name no port at all.
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

}  // namespace
