// The program in a real terminal (tmux): Ctrl-C during a transfer, after
// which the terminal is as it was and a new run finishes the update from
// the bootloader.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "e2e_process.h"
#include "program_e2e.h"

namespace {

// The highest "Updating firmware: NN%" on the screen; -1 when none.
int progress_shown(const std::string& screen) {
    int best = -1;
    const std::string key = "Updating firmware:";
    for (size_t at = screen.find(key); at != std::string::npos; at = screen.find(key, at + 1)) {
        int value = -1;
        if (std::sscanf(screen.c_str() + at + key.size(), "%d", &value) == 1 && value > best) best = value;
    }
    return best;
}

// One try of the test below; the device's report in *outcome.
void ctrl_c_during_transfer(DeviceOutcome* outcome) {
    TempFolder folder;
    ASSERT_FALSE(folder.path.empty());
    const std::string com_dir = folder.path + "/com";
    ASSERT_EQ(mkdir(com_dir.c_str(), 0700), 0);
    DevsimProcess device;
    std::string error;
    ASSERT_TRUE(devsim_start(com_dir + "/COM3", folder.path, 3,
                             concat(snd44(1), {"--line", "100:=P", "--pace", "--idle-timeout", "120000"}), &device,
                             &error))
        << error;
    {
        Tmux tmux(folder.path);
        if (!tmux.start("/bin/sh")) {
            (void)devsim_stop(&device);
            FAIL() << "tmux did not start";
        }
        const std::string f = "'" + folder.path + "'";
        const std::string locks = folder.path + "/lock";
        ASSERT_EQ(mkdir(locks.c_str(), 0700), 0);
        const std::string program =
            "OFWU_COM_DIR='" + com_dir + "' OFWU_LOCK_DIR='" + locks + "' '" + e2e_program_path() + "' 3";
        tmux.line("stty -g > " + f + "/before.txt");
        const bool saved = wait_for_file(folder.path + "/before.txt", 5000);
        tmux.line(program);
        const bool asked = saved && tmux.wait_for_text("(Y,N) ", 1, 15000);
        if (asked) tmux.type("y");
        // The paced transfer takes some 20 s; interrupt it on its way.
        const bool moving =
            asked && tmux.wait_for([](const std::string& s) { return progress_shown(s) >= 10; }, 30000);
        const bool lock_taken = !std::filesystem::is_empty(locks);
        if (moving) tmux.key("C-c");
        tmux.line("echo $? > " + f + "/rc1.txt; stty -g > " + f + "/after.txt; stty -a > " + f + "/after_a.txt");
        const bool back = moving && wait_for_file(folder.path + "/after_a.txt", 10000);
        const bool lock_left = !std::filesystem::is_empty(locks);
        const int shown_at_interrupt = progress_shown(tmux.screen());
        // Again, against the same device, now waiting in its bootloader.
        // The first run's question must be gone before the second starts, or
        // its "y" would go early and be taken as a stray key during the scan.
        tmux.line("clear");
        const bool cleared =
            back && tmux.wait_for([](const std::string& s) { return s.find("(Y,N) ") == std::string::npos; }, 10000);
        tmux.line(program + "; echo $? > " + f + "/rc2.txt");
        const bool asked_again = cleared && tmux.wait_for_text("(Y,N) ", 1, 20000);
        if (asked_again) tmux.type("y");
        const bool done = asked_again && tmux.wait_for_text(KEY_PROMPT + 1, 1, 60000);
        if (done) tmux.type("x");
        const bool ended = done && wait_for_file(folder.path + "/rc2.txt", 10000);
        const std::string second_screen = tmux.screen();
        *outcome = devsim_stop(&device);

        ASSERT_TRUE(saved) << "stty -g gave nothing";
        ASSERT_TRUE(asked) << tmux.screen();
        ASSERT_TRUE(moving) << second_screen;
        ASSERT_TRUE(back) << "the shell did not come back after Ctrl-C\n" << second_screen;
        EXPECT_LT(shown_at_interrupt, 100) << "the transfer ended before Ctrl-C";
        EXPECT_EQ(std::atoi(file_text(folder.path + "/rc1.txt").c_str()), 130) << "ended by SIGINT";
        EXPECT_TRUE(lock_taken) << "the port's lock file stands while the program has the port";
        EXPECT_FALSE(lock_left) << "the port's lock file is removed on SIGINT";
        EXPECT_EQ(file_text(folder.path + "/after.txt"), file_text(folder.path + "/before.txt"))
            << "the terminal's settings were not restored";
        const std::string settings = file_text(folder.path + "/after_a.txt");
        std::set<std::string> words;
        {
            std::istringstream in(settings);
            std::string word;
            while (in >> word) words.insert(word);
        }
        for (const char* flag : {"icanon", "echo", "isig", "icrnl"}) {
            EXPECT_EQ(words.count(flag), 1u) << flag << " missing:\n" << settings;
        }
        ASSERT_TRUE(cleared) << "the first run's question stayed on the screen\n" << second_screen;
        ASSERT_TRUE(asked_again) << second_screen;
        ASSERT_TRUE(done) << second_screen;
        ASSERT_TRUE(ended) << second_screen;
        EXPECT_EQ(std::atoi(file_text(folder.path + "/rc2.txt").c_str()), 1);
        EXPECT_NE(second_screen.find("Updating firmware: 100% complete."), std::string::npos) << second_screen;
        EXPECT_NE(second_screen.find("COM3: A Ostrel device compatible with this firmwware was found."),
                  std::string::npos)
            << second_screen;
    }
    const DeviceOutcome& d = *outcome;
    ASSERT_FALSE(d.report_text.empty()) << "no report";
    // The whole image in the second run.
    expect_image_complete(d, 2);
    // Cut off inside a command exchange, the first run leaves at most one
    // protocol error: its reply unanswered, or a status request owed.
    const std::vector<std::string> errors = protocol_errors(d);
    EXPECT_LE(errors.size(), 1u) << d.report_text.substr(0, 3000);
    for (const std::string& e : errors) {
        EXPECT_TRUE(e == "start packet came while a status request was due" ||
                    e == "a reply packet was never answered with ACK or NAK")
            << e;
    }
    // The first run entered the bootloader once; the second found it there
    // by its probe and sent no entry string.
    EXPECT_EQ(count_of(d, "entry_strings"), 3);
    const size_t first_start = find_event(d, "start packet");
    const size_t probe = find_event(d, "probe reply", first_start + 1);
    const size_t second_start = find_event(d, "start packet", first_start + 1);
    const size_t n = event_count(d);
    ASSERT_LT(second_start, n) << event_list(d);
    EXPECT_LT(probe, second_start) << "the second run probed the bootloader before its start packet";
    EXPECT_EQ(events_between(d, "entry", first_start, n), 0) << "no entry string in the second run";
    EXPECT_EQ(events_between(d, "mode", first_start, second_start), 0) << "the device stayed in its bootloader";
    EXPECT_GT(count_of(d, "block_packets"), snd44_image().block_count) << "the first run had sent blocks before Ctrl-C";
    EXPECT_LT(count_of(d, "block_packets"), 2 * snd44_image().block_count);
}

TEST(ProgramCtrlC, DuringTransferThenAgainFromTheBootloader) {
    E2E_REQUIRE(e2e_missing_program("/usr/bin/tmux"));
    DeviceOutcome outcome;
    ctrl_c_during_transfer(&outcome);
    if (HasFailure()) ADD_FAILURE() << event_list(outcome) << outcome.log;
}

}  // namespace

namespace {

// A device on COM3 of a folder, and a shell in a real terminal to run the
// program in.
class TerminalRun {
public:
    explicit TerminalRun(const std::vector<std::string>& device) : tmux_(folder_.path) {
        com_dir_ = folder_.path + "/com";
        (void)mkdir(com_dir_.c_str(), 0700);  // a failure shows as a device that cannot start
        std::string error;
        started_ = devsim_start(com_dir_ + "/COM3", folder_.path, 3, device, &device_, &error) &&
                   tmux_.start("/bin/sh");
    }
    ~TerminalRun() { (void)devsim_stop(&device_); }
    bool started() const { return started_; }
    Tmux& tmux() { return tmux_; }
    // Runs the program on COM3 and waits for `text`: false when it never shows.
    bool run_until(const std::string& text, uint32_t limit_ms) {
        tmux_.line(command("3"));
        return tmux_.wait_for_text(text, 1, limit_ms);
    }
    // The program's command line with its argument, and what follows it.
    std::string command(const std::string& argument, const std::string& after = "") const {
        return "OFWU_COM_DIR='" + com_dir_ + "' OFWU_LOCK_DIR='" + folder_.path + "' '" + e2e_program_path() + "' " +
               argument + after;
    }

private:
    TempFolder folder_;
    std::string com_dir_;
    DevsimProcess device_;
    Tmux tmux_;
    bool started_ = false;
};

// Keys typed while the scan runs are not echoed (the first of them then
// answers the exit prompt), and an arrow key at the exit prompt ends the
// program without leaving the rest of its escape sequence to the shell.
// ("END""ED" and "MA""RK" show as ENDED and MARK only where they are printed.)
TEST(ProgramTerminal, NothingTypedShowsOrReachesTheShell) {
    E2E_REQUIRE(e2e_missing_program("/usr/bin/tmux"));
    TerminalRun run({"--app-silent", "--boot-silent"});
    ASSERT_TRUE(run.started());
    Tmux& tmux = run.tmux();
    tmux.line(run.command("3", "; echo END\"\"ED"));
    ASSERT_TRUE(tmux.wait_for_text("COM3: ", 1, 10000)) << tmux.screen();
    tmux.type("abc");  // the detection of a silent device takes some 8 s
    ASSERT_TRUE(tmux.wait_for_text("ENDED", 1, 20000)) << tmux.screen();
    tmux.line(run.command("5", "; echo END\"\"ED"));
    ASSERT_TRUE(tmux.wait_for_text("Press any key to exit...", 2, 10000)) << tmux.screen();
    tmux.key("Up");
    ASSERT_TRUE(tmux.wait_for_text("ENDED", 2, 10000)) << tmux.screen();
    tmux.line("echo MA\"\"RK");
    const bool marked = tmux.wait_for_text("\nMARK", 1, 5000);
    const std::string screen = tmux.screen();
    EXPECT_TRUE(marked) << screen;
    EXPECT_EQ(screen.find("abc"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("not found"), std::string::npos) << "the arrow key's sequence reached the shell\n" << screen;
}

// Stopped with Ctrl-Z at the question and brought back with fg, the program
// still reads keys without echo: typed "abc" shows nowhere, and N answers.
TEST(ProgramTerminal, StoppedAndContinuedAtTheQuestionStillWithoutEcho) {
    E2E_REQUIRE(e2e_missing_program("/usr/bin/tmux"));
    TerminalRun run(snd44(1));
    ASSERT_TRUE(run.started());
    Tmux& tmux = run.tmux();
    ASSERT_TRUE(run.run_until("(Y,N) ", 15000)) << tmux.screen();
    tmux.key("C-z");
    ASSERT_TRUE(tmux.wait_for_text("Stopped", 1, 5000)) << tmux.screen();
    tmux.line("fg");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    tmux.type("abc");
    tmux.type("n");
    ASSERT_TRUE(tmux.wait_for_text("(Y,N) ", 2, 10000)) << tmux.screen();
    tmux.key("C-c");
    const std::string screen = tmux.screen();
    EXPECT_EQ(screen.find("abc"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\nN\n\nUpdate cancelled."), std::string::npos) << "the answer after fg" << screen;
}

}  // namespace

namespace {

// Keys typed before the question was shown do not answer it: "xy" typed
// during the scan (a device in its bootloader, found by its probe some
// seconds after its silent version query) leaves the question standing,
// and only the "n" typed after it counts.
TEST(ProgramTerminal, KeysTypedAheadDoNotAnswerTheQuestion) {
    E2E_REQUIRE(e2e_missing_program("/usr/bin/tmux"));
    TerminalRun run(concat(snd44(1), {"--start", "bootloader"}));
    ASSERT_TRUE(run.started());
    Tmux& tmux = run.tmux();
    ASSERT_TRUE(run.run_until("COM3: ", 10000)) << tmux.screen();
    tmux.type("xy");
    ASSERT_TRUE(tmux.wait_for_text("(Y,N) ", 1, 20000)) << tmux.screen();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(tmux.screen().find("(Y,N) Y"), std::string::npos) << "a key typed ahead answered\n" << tmux.screen();
    tmux.type("n");
    ASSERT_TRUE(tmux.wait_for_text("Update cancelled.", 1, 10000)) << tmux.screen();
    tmux.key("C-c");
}

}  // namespace
