// The program's transfer under faults, end to end against a simulated device
// (native only): a refused, unanswered or wrongly answered block at the
// first, a middle and the last record, the device unplugged there, at the
// return command and at the bootloader probe; and Ctrl-C in a real terminal
// during a transfer, after which the terminal is as it was and a new run
// finishes the update from the bootloader.
//
// The fault runs are independent of each other (each has its own folder and
// device), so they all start together when the first case asks for its run:
// the whole table takes about as long as its slowest case.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <mutex>
#include <thread>

#include "e2e_process.h"
#include "program_e2e.h"

namespace {

const char NO_RESPONSE[] = "\nError: No response from the bootloader, check cables and power.\n";
const char GONE[] = "\nNo Ostrel device found on COM3.\n";

std::string lost(int stage, int code) {
    char text[96];
    std::snprintf(text, sizeof text,
                  "\nError: Lost(%d-%02X) communications with the bootloader, check cables and power.\n", stage, code);
    return text;
}

std::string found_on_com3() {
    return text_head() + text_port(3, PORT_FOUND) + "\n";
}

// The main loop's pass after a successful transfer ends at once on "=P".
std::vector<std::string> device_with(const std::vector<std::string>& fault) {
    return concat(concat(snd44(1), {"--line", "100:=P"}), fault);
}

// ---- The fault matrix ----

enum class Fault { nak, silent, status45, unplug };

struct FaultCase {
    std::string name;
    Fault fault;
    uint32_t block;            // 1..IMAGE_BLOCKS; 0 for the unplug steps below
    std::string unplug_step;   // "return" or "probe" when block is 0
};

const char* fault_arg(Fault f) {
    switch (f) {
    case Fault::nak: return "nak";
    case Fault::silent: return "silent";
    case Fault::status45: return "status:45";
    case Fault::unplug: return "";
    }
    return "";
}

std::vector<FaultCase> fault_cases() {
    std::vector<FaultCase> cases;
    const std::pair<const char*, uint32_t> steps[] = {{"First", 1}, {"Middle", 429}, {"Last", IMAGE_BLOCKS}};
    const std::pair<const char*, Fault> faults[] = {
        {"Nak", Fault::nak}, {"Silent", Fault::silent}, {"Status45", Fault::status45}, {"Unplug", Fault::unplug}};
    for (const auto& [step, block] : steps) {
        for (const auto& [what, fault] : faults) {
            cases.push_back({std::string(step) + "Block" + what, fault, block, ""});
        }
    }
    cases.push_back({"UnplugAtReturn", Fault::unplug, 0, "return"});
    cases.push_back({"UnplugAtProbe", Fault::unplug, 0, "probe"});
    return cases;
}

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

RunPlan fault_plan(const FaultCase& c) {
    RunPlan plan;
    plan.args = {"3"};
    std::vector<std::string> fault;
    if (c.block == 0) fault = {"--unplug-at", c.unplug_step};
    else if (c.fault == Fault::unplug) fault = {"--unplug-at", "block:" + std::to_string(c.block)};
    else fault = {"--on-block", std::to_string(c.block) + ":" + fault_arg(c.fault)};
    plan.keys = {{NEWER_QUESTION, "y"}};
    // After a fault the device is still there: the next pass asks again, and
    // the pass after the second attempt finds the device gone.
    if (c.fault != Fault::unplug) {
        plan.keys.push_back({NEWER_QUESTION, "y"});
        fault = concat(fault, {"--unplug-at", "query:4"});
    }
    plan.keys.push_back({KEY_PROMPT, "x"});
    plan.devices = {{3, device_with(fault)}};
    plan.timeout_ms = 60000;
    return plan;
}

struct TimedRun {
    RunResult run;
    double end_unix_ms = 0;  // wall clock when the run was over
};

double wall_ms() {
    return static_cast<double>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

// Every case's run, started together on the first request.
const TimedRun& fault_run(const std::string& name) {
    static std::mutex lock;
    static std::map<std::string, std::shared_future<TimedRun>> runs;
    {
        const std::lock_guard<std::mutex> hold(lock);
        if (runs.empty()) {
            // Only the cases that this run of the tests selects.
            std::set<std::string> selected;
            const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
            for (int i = 0; i < unit.total_test_suite_count(); ++i) {
                const testing::TestSuite& suite = *unit.GetTestSuite(i);
                if (std::string(suite.name()) != "Cases/ProgramFault") continue;
                for (int j = 0; j < suite.total_test_count(); ++j) {
                    const testing::TestInfo& info = *suite.GetTestInfo(j);
                    const std::string full = info.name();
                    if (info.should_run()) selected.insert(full.substr(full.find('/') + 1));
                }
            }
            selected.insert(name);
            for (const FaultCase& c : fault_cases()) {
                if (selected.count(c.name) == 0) continue;
                const RunPlan plan = fault_plan(c);
                runs[c.name] = std::async(std::launch::async, [plan] {
                                   TimedRun t;
                                   t.run = e2e_run(plan);
                                   t.end_unix_ms = wall_ms();
                                   return t;
                               }).share();
            }
        }
    }
    return runs.at(name).get();
}

class ProgramFault : public testing::TestWithParam<FaultCase> {};

TEST_P(ProgramFault, Native) {
    const FaultCase& c = GetParam();
    const TimedRun& timed = fault_run(c.name);
    const RunResult& run = timed.run;
    ASSERT_EQ(run.error, "");
    ASSERT_EQ(run.devices.size(), 1u);
    const DeviceOutcome& d = run.devices[0];
    expect_ended(run);
    EXPECT_EQ(run.keys_sent, c.fault == Fault::unplug ? 2u : 3u);

    const std::string asked = found_on_com3() + text_newer("2.58") + "Y\n";
    const size_t n = events_of(d).size();

    if (c.fault != Fault::unplug) {
        // The transfer stops at block K with its message, and the next pass
        // asks again. devsim answers block K of every transfer with the same
        // fault, so the second attempt cannot complete: it must start over
        // with the start packet and the first block, carry blocks 1 to K
        // intact again and stop with the same message. The pass after that
        // finds no device (unplugged at its query): the exit path.
        const int code = c.fault == Fault::status45 ? 5 : 1;
        const std::string attempt = text_progress(IMAGE_BLOCKS, c.block - 1) + lost(2, code);
        expect_transcript(run.output, asked + attempt + text_newer("2.58") + "Y\n" + attempt + GONE + text_exit());
        const JsonValue& image = d.report["image"];
        EXPECT_EQ(image["verdict"].text, "incomplete");
        EXPECT_EQ(image["mismatch"].text, "") << "a block arrived damaged";
        EXPECT_EQ(image["blocks_received"].number, c.block) << "the second attempt's blocks";
        EXPECT_EQ(image["start_packets"].number, 2);
        EXPECT_EQ(d.report["protocol_errors"].items.size(), 0u) << d.report_text.substr(0, 2000);
        EXPECT_EQ(count_of(d, "block_packets"), 2 * c.block);
        EXPECT_EQ(count_of(d, "start_packets"), 2);
        EXPECT_EQ(count_of(d, "return_commands"), 2) << "one after each failed block";
        // A start packet and each accepted block ask for the status; a block
        // answered with a status asks too; a refused or unanswered one not.
        EXPECT_EQ(count_of(d, "status_requests"), 2 * (1 + c.block - (c.fault == Fault::status45 ? 0 : 1)));
        EXPECT_EQ(count_of(d, "bytes_sent_wrong_rate"), 0)
            << "the restarted application's version line came at 19200 baud";
        EXPECT_EQ(d.report["unplugged_at"].text, "query:4");
        // Rates: scan and first query at 19200, the entry at 115200, back to
        // 19200 after the fault; the same for the second attempt.
        EXPECT_EQ(line_rates(d),
                  (std::vector<std::string>{"38400", "19200", "115200", "19200", "115200", "19200"}));
        const std::string detail = std::to_string(c.block) + ":";
        size_t from = 0;
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round == 0 ? "first attempt" : "second attempt");
            const size_t start = find_event(d, "start packet", from);
            const size_t first = find_event(d, "block", start);
            const size_t faulty = find_event(d, "block", start, detail);
            const size_t back = find_event(d, "return", faulty);
            const size_t query = find_event(d, "query", back);
            ASSERT_LT(query, n);
            EXPECT_EQ(events_of(d)[first]["detail"].text.rfind("1:", 0), 0u) << "starts over with block 1";
            EXPECT_EQ(find_event(d, "block", faulty + 1), find_event(d, "block", query))
                << "no block after the faulty one";
            EXPECT_TRUE(all_at_rate(d, 115200, start, back + 1));
            EXPECT_LT(find_at_rate(d, 19200, back), query) << "back at 19200 baud before the next pass queries";
            EXPECT_EQ(events_between(d, "entry", from, start), 3) << "each attempt enters the bootloader anew";
            // An unanswered block is given up after one port wait of 4 s; a
            // refused one at once.
            const double gap = event_unix_ms(d, back) - event_unix_ms(d, faulty);
            if (c.fault == Fault::silent) {
                EXPECT_GE(gap, 3900);
                EXPECT_LT(gap, 6000);
            } else {
                EXPECT_LT(gap, 1000);
            }
            from = query;
        }
    } else if (c.block != 0) {
        // Unplugged while block K waits for its acknowledge: that block is
        // lost like an unanswered one (result 1), the return command goes
        // nowhere, and the next pass finds nothing on COM3: the exit path.
        expect_transcript(run.output, asked + text_progress(IMAGE_BLOCKS, c.block - 1) + lost(2, 1) + GONE +
                                          text_exit());
        EXPECT_EQ(d.report["unplugged_at"].text, "block:" + std::to_string(c.block));
        EXPECT_EQ(d.report["stop_reason"].text, "unplugged");
        EXPECT_EQ(count_of(d, "block_packets"), c.block);
        EXPECT_EQ(count_of(d, "start_packets"), 1);
        EXPECT_EQ(line_rates(d), (std::vector<std::string>{"38400", "19200", "115200"}));
        EXPECT_FALSE(d.link_left);
        const size_t gone = find_event(d, "unplugged");
        ASSERT_LT(gone, n);
        // From the unplug to the exit: the lost acknowledge, the version
        // read after the return command and the next detection, each at
        // most one 4 s wait, plus the probe flush.
        const double after = timed.end_unix_ms - event_unix_ms(d, gone);
        EXPECT_LT(after, 25000);
        EXPECT_LT(run.elapsed_ms, 35000);
    } else if (c.unplug_step == "return") {
        // Every block was accepted, so the transfer succeeded; the device is
        // gone before its version line, and the watch that follows a
        // successful transfer ends after 30 s without a message.
        expect_transcript(run.output, asked + text_progress(IMAGE_BLOCKS, IMAGE_BLOCKS) + text_exit());
        EXPECT_EQ(d.report["unplugged_at"].text, "return");
        EXPECT_EQ(d.report["image"]["blocks_received"].number, IMAGE_BLOCKS);
        EXPECT_EQ(d.report["image"]["mismatch"].text, "");
        EXPECT_EQ(count_of(d, "return_commands"), 1);
        EXPECT_EQ(line_rates(d), (std::vector<std::string>{"38400", "19200", "115200"}));
        const size_t gone = find_event(d, "unplugged");
        ASSERT_LT(gone, n);
        const double after = timed.end_unix_ms - event_unix_ms(d, gone);
        EXPECT_GE(after, 30000) << "the watch lasts 30 s";
        EXPECT_LT(after, 45000);
    } else {
        // Unplugged at the first probe of the entry: all three attempts
        // fail, the entry gives up, and the next pass finds nothing.
        expect_transcript(run.output, asked + NO_RESPONSE + GONE + text_exit());
        EXPECT_EQ(d.report["unplugged_at"].text, "probe");
        EXPECT_EQ(count_of(d, "probes"), 1);
        EXPECT_EQ(count_of(d, "start_packets"), 0);
        const size_t gone = find_event(d, "unplugged");
        ASSERT_LT(gone, n);
        const size_t probe = find_event(d, "probe");
        ASSERT_LT(probe, n);
        EXPECT_EQ(events_of(d)[probe]["line_baud"].number, 115200) << "the probe came at 115200 baud";
        EXPECT_EQ(events_between(d, "entry", 0, probe), 3);
        const double after = timed.end_unix_ms - event_unix_ms(d, gone);
        EXPECT_LT(after, 30000);
        EXPECT_LT(run.elapsed_ms, 40000);
    }
    if (HasFailure()) {
        ADD_FAILURE() << c.name << ": " << run.elapsed_ms << " ms\ndevsim:\n" << event_list(d) << d.log;
    } else {
        std::printf("[ %-22s ] %.1f s\n", c.name.c_str(), run.elapsed_ms / 1000);
    }
}

std::string fault_case_name(const testing::TestParamInfo<FaultCase>& param) {
    return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramFault, testing::ValuesIn(fault_cases()), fault_case_name);

// ---- Ctrl-C during a transfer, in a real terminal ----

class Tmux {
public:
    explicit Tmux(const std::string& folder) : socket_(folder + "/tmux.sock"), folder_(folder) {}
    ~Tmux() { (void)child_run({"/usr/bin/tmux", "-S", socket_, "kill-server"}, 5000, env()); }
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    bool start() {
        return child_run({"/usr/bin/tmux", "-S", socket_, "new-session", "-d", "-s", "h7", "-x", "200", "-y",
                          "50", "/bin/sh"},
                         5000, env()) == 0;
    }
    void type(const std::string& text) {
        (void)child_run({"/usr/bin/tmux", "-S", socket_, "send-keys", "-t", "h7", "-l", text}, 5000, env());
    }
    void key(const std::string& name) {
        (void)child_run({"/usr/bin/tmux", "-S", socket_, "send-keys", "-t", "h7", name}, 5000, env());
    }
    void line(const std::string& text) {
        type(text);
        key("Enter");
    }
    // What the pane shows, history included, with wrapped lines joined.
    std::string screen() {
        const std::string file = folder_ + "/screen.txt";
        (void)child_run({"/bin/sh", "-c",
                         "/usr/bin/tmux -S '" + socket_ + "' capture-pane -p -J -S -2000 -t h7 > '" + file + "'"},
                        5000, env());
        return file_text(file);
    }
    // Waits until `pred` holds for the screen; false after `limit_ms`.
    template <typename Pred>
    bool wait_for(Pred pred, uint32_t limit_ms) {
        const double end = now_ms() + limit_ms;
        while (now_ms() < end) {
            if (pred(screen())) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    bool wait_for_text(const std::string& text, size_t times, uint32_t limit_ms) {
        return wait_for([&](const std::string& s) { return occurrences(s, text) >= times; }, limit_ms);
    }
    static size_t occurrences(const std::string& s, const std::string& text) {
        size_t count = 0;
        for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++count;
        return count;
    }

private:
    std::vector<std::pair<std::string, std::string>> env() const { return {{"TMUX", ""}}; }
    std::string socket_;
    std::string folder_;
};

bool wait_for_file(const std::string& path, uint32_t limit_ms) {
    const double end = now_ms() + limit_ms;
    while (now_ms() < end) {
        if (!file_text(path).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

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

TEST(ProgramCtrlC, DuringTransferThenAgainFromTheBootloader) {
    if (access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux is not installed";
    TempFolder folder;
    ASSERT_FALSE(folder.path.empty());
    const std::string com_dir = folder.path + "/com";
    ASSERT_EQ(mkdir(com_dir.c_str(), 0700), 0);
    DevsimProcess device;
    std::string error;
    ASSERT_TRUE(devsim_start(com_dir + "/COM3", folder.path, 3,
                             concat(device_with({"--pace"}), {"--idle-timeout", "120000"}), &device, &error))
        << error;
    DeviceOutcome outcome;
    {
        Tmux tmux(folder.path);
        if (!tmux.start()) {
            (void)devsim_stop(&device);
            FAIL() << "tmux did not start";
        }
        const std::string f = "'" + folder.path + "'";
        const std::string program = "OFWU_COM_DIR='" + com_dir + "' '" + e2e_program_path() + "' 3";
        tmux.line("stty -g > " + f + "/before.txt");
        const bool saved = wait_for_file(folder.path + "/before.txt", 5000);
        tmux.line(program);
        const bool asked = saved && tmux.wait_for_text("(Y,N) ", 1, 15000);
        if (asked) tmux.type("y");
        // The paced transfer takes some 20 s; interrupt it on its way.
        const bool moving =
            asked && tmux.wait_for([](const std::string& s) { return progress_shown(s) >= 10; }, 30000);
        if (moving) tmux.key("C-c");
        tmux.line("echo $? > " + f + "/rc1.txt; stty -g > " + f + "/after.txt; stty -a > " + f + "/after_a.txt");
        const bool back = moving && wait_for_file(folder.path + "/after_a.txt", 10000);
        const int shown_at_interrupt = progress_shown(tmux.screen());
        // Again, against the same device, now waiting in its bootloader.
        tmux.line("clear");
        tmux.line(program + "; echo $? > " + f + "/rc2.txt");
        const bool asked_again = back && tmux.wait_for_text("(Y,N) ", 1, 20000);
        if (asked_again) tmux.type("y");
        const bool done = asked_again && tmux.wait_for_text(KEY_PROMPT + 1, 1, 60000);
        if (done) tmux.type("x");
        const bool ended = done && wait_for_file(folder.path + "/rc2.txt", 10000);
        const std::string second_screen = tmux.screen();
        outcome = devsim_stop(&device);

        ASSERT_TRUE(saved) << "stty -g gave nothing";
        ASSERT_TRUE(asked) << tmux.screen();
        ASSERT_TRUE(moving) << second_screen;
        ASSERT_TRUE(back) << "the shell did not come back after Ctrl-C\n" << second_screen;
        EXPECT_LT(shown_at_interrupt, 100) << "the transfer ended before Ctrl-C";
        EXPECT_EQ(std::atoi(file_text(folder.path + "/rc1.txt").c_str()), 130) << "ended by SIGINT";
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
        ASSERT_TRUE(asked_again) << second_screen;
        ASSERT_TRUE(done) << second_screen;
        ASSERT_TRUE(ended) << second_screen;
        EXPECT_EQ(std::atoi(file_text(folder.path + "/rc2.txt").c_str()), 1);
        EXPECT_NE(second_screen.find("Updating firmware: 100% complete."), std::string::npos) << second_screen;
        EXPECT_NE(second_screen.find("COM3: A Ostrel device compatible with this firmwware was found."),
                  std::string::npos)
            << second_screen;
    }
    const DeviceOutcome& d = outcome;
    ASSERT_FALSE(d.report_text.empty()) << "no report";
    // The whole image in the second run. The first run was cut off inside a
    // command exchange: at most the one protocol error that says so.
    const JsonValue& image = d.report["image"];
    EXPECT_EQ(image["verdict"].text, "complete") << image["mismatch"].text << image["refused"].text;
    EXPECT_EQ(image["mismatch"].text, "");
    EXPECT_EQ(image["blocks_received"].number, IMAGE_BLOCKS);
    EXPECT_EQ(image["start_packets"].number, 2);
    EXPECT_TRUE(image["returned"].boolean);
    EXPECT_EQ(count_of(d, "bytes_sent_wrong_rate"), 0);
    const std::vector<JsonValue>& errors = d.report["protocol_errors"].items;
    EXPECT_LE(errors.size(), 1u) << d.report_text.substr(0, 3000);
    if (errors.size() == 1) {
        EXPECT_EQ(errors[0].text, "start packet came while a status request was due");
    }
    // The first run entered the bootloader once; the second found it there
    // by its probe and sent no entry string.
    EXPECT_EQ(count_of(d, "entry_strings"), 3);
    const size_t first_start = find_event(d, "start packet");
    const size_t probe = find_event(d, "probe reply", first_start + 1);
    const size_t second_start = find_event(d, "start packet", first_start + 1);
    const size_t n = events_of(d).size();
    ASSERT_LT(second_start, n) << event_list(d);
    EXPECT_LT(probe, second_start) << "the second run probed the bootloader before its start packet";
    EXPECT_EQ(events_between(d, "entry", first_start, n), 0) << "no entry string in the second run";
    EXPECT_EQ(events_between(d, "mode", first_start, second_start), 0) << "the device stayed in its bootloader";
    EXPECT_GT(count_of(d, "block_packets"), IMAGE_BLOCKS) << "the first run had sent blocks before Ctrl-C";
    EXPECT_LT(count_of(d, "block_packets"), 2 * IMAGE_BLOCKS);
    if (HasFailure()) ADD_FAILURE() << event_list(d) << d.log;
}

}  // namespace
