// The wire trace (--trace FILE), end to end. Each row's trace is read back
// as devsim reads one to replay it, and must hold exactly what the device
// saw: every byte it received, in order and at its rate, and every byte it
// sent, read or still waiting at the close. Then the regression traces of
// tests/traces, replayed: the program must send the recorded bytes again and
// end as the recorded run ended. On the virtual clock; an update, natively
// and under Wine.
#include <algorithm>
#include <fstream>
#include <memory>

#include <nlohmann/json.hpp>

#include "program_e2e.h"
#include "replay.h"

namespace {

const std::string TRACES = firmware_path("../tests/traces/");

const TempFolder& folder() {
    static const std::unique_ptr<TempFolder> made(new TempFolder);
    return *made;
}

std::string trace_of(const std::string& row) {
    return folder().path + "/" + row + ".trace";
}

std::string text_of(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The bytes one way, each run of them with the program's rate.
using Runs = std::vector<std::pair<uint32_t, std::string>>;

void add_run(Runs* runs, uint32_t baud, const std::string& bytes) {
    if (bytes.empty()) return;
    if (runs->empty() || runs->back().first != baud) runs->push_back({baud, ""});
    runs->back().second += bytes;
}

// Where two records of the wire first differ: the run, its rates, the byte.
void expect_same_runs(const Runs& trace, const Runs& device, const std::string& what) {
    for (size_t i = 0; i < std::max(trace.size(), device.size()); ++i) {
        if (i >= trace.size() || i >= device.size()) {
            ADD_FAILURE() << what << ": " << trace.size() << " runs of one rate in the trace, " << device.size()
                          << " as the device saw them";
            return;
        }
        const std::string& t = trace[i].second;
        const std::string& d = device[i].second;
        size_t at = 0;
        while (at < t.size() && at < d.size() && t[at] == d[at]) ++at;
        if (trace[i].first != device[i].first || t != d) {
            ADD_FAILURE() << what << ": run " << i << " at " << trace[i].first << " baud in the trace, "
                          << device[i].first << " as the device saw it; " << t.size() << " and " << d.size()
                          << " bytes, the first difference at byte " << at;
            return;
        }
    }
}

// Both ways as the trace tells them (the device's bytes at rate 0: the
// trace keeps what the program read, whatever the rate), and as devsim saw them.
void expect_trace_is_the_wire(const std::string& path, const DeviceOutcome& d) {
    Replay trace;
    std::string error;
    ASSERT_TRUE(replay_load(path, "COM3", &trace, &error)) << error;
    Runs received;
    Runs sent;
    for (const ReplayItem& item : trace.items) {
        const std::string bytes(item.bytes.begin(), item.bytes.end());
        if (item.kind == ReplayKind::expect) add_run(&received, item.baud, bytes);
        if (item.kind == ReplayKind::send) add_run(&sent, 0, bytes);
    }
    Runs device_received;
    Runs device_sent;
    ASSERT_TRUE(d.report != nullptr && d.report->contains("wire")) << d.log;
    for (const auto& run : d.report->at("wire")) {
        std::string bytes;
        const std::string hex = run.at("hex");
        for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16));
        if (run.at("to") == "device") add_run(&device_received, run.at("baud"), bytes);
        else add_run(&device_sent, 0, bytes);
    }
    expect_same_runs(received, device_received, "the program's bytes in " + path);
    // A byte on its way when the port closed is in neither the program's
    // reads nor its queue: the model has at most one on the line.
    if (!device_sent.empty() && !sent.empty() && device_sent.back().second.size() == sent.back().second.size() + 1) {
        device_sent.back().second.pop_back();
    }
    expect_same_runs(sent, device_sent, "the device's bytes in " + path);
}

void expect_lines(const std::string& path, const std::vector<std::string>& wanted) {
    const std::string text = text_of(path);
    EXPECT_EQ(text.rfind("# ofwu ", 0), 0u) << text.substr(0, 80);
    EXPECT_LT(text.find(" wire trace, format 1\n"), text.find('\n')) << text.substr(0, 80);
    for (const std::string& w : wanted) EXPECT_NE(text.find(w), std::string::npos) << w << " in " << path;
}

// ofwu --batch --trace ROW.trace [options] 3, a device on COM3 that keeps
// every byte; the exit status, the lines the trace must hold, the wire.
ProgramCase traced(const std::string& name, std::vector<std::string> device, std::vector<std::string> options,
                   int status, std::vector<std::string> lines) {
    return {name,
            [=](bool) {
                RunPlan plan;
                plan.args = concat({"--batch", "--trace", trace_of(name)}, options);
                plan.args.push_back("3");
                plan.devices = {{3, concat(device, {"--record-wire"})}};
                plan.timeout_ms = 60000;
                return plan;
            },
            [=](const RunResult& run, bool) {
                EXPECT_EQ(run.exit_status, status) << run.output;
                expect_lines(trace_of(name), lines);
                expect_trace_is_the_wire(trace_of(name), run.devices.at(0));
                if (options.empty()) return;
                // The run's report names its trace.
                const nlohmann::json report = nlohmann::json::parse(text_of(options.at(1)));
                EXPECT_EQ(report.at("trace"), trace_of(name));
            }};
}

// A regression trace replayed: the device's side played, the program's
// bytes compared, the recorded outcome again.
ProgramCase replayed(const std::string& name, const std::string& trace, int status) {
    return {name,
            [=](bool) {
                RunPlan plan;
                plan.args = {"--batch", "--image", TRACES + "small.img", "--allow-unsigned", "3"};
                plan.devices = {{3, {"--replay", TRACES + trace + ".trace", "--expect", "replayed"}}};
                plan.timeout_ms = 60000;
                return plan;
            },
            [=](const RunResult& run, bool) {
                EXPECT_EQ(run.exit_status, status) << run.output;
                const DeviceOutcome& d = run.devices.at(0);
                EXPECT_EQ(d.exit_status, 0) << d.log;
                EXPECT_TRUE(d.report != nullptr && d.report->at("replay").at("complete")) << d.report_text.substr(0, 2000);
            }};
}

std::vector<ProgramCase> trace_cases() {
    const std::vector<std::string> ready = concat(snd44(1), {"--line", "100:=P"});
    return {
        traced("UpdateTraced", ready, {"--report", trace_of("UpdateTraced") + ".jsonl"}, 0,
               {" COM3 open 19200 ok\n", " COM3 drain discarded 0 in ", " COM3 step query\n",
                " COM3 write 3/3: 5E 56 24\n", " COM3 step entry\n", " COM3 sleep 1000\n", " COM3 rate 115200 ok\n",
                " COM3 flush zeros 256/256 discarded 0 in ", " COM3 packet sent: length 3, checksum 0x26, command '&'\n",
                " good, 65 data bytes\n", " COM3 answer ACK\n",
                " COM3 step block 858 of 858\n", "status '@'\n", " COM3 step return\n", " COM3 sleep 10\n",
                " COM3 step watch start\n", " COM3 text \"=P$\"\n", " COM3 step watch end: the device is ready\n",
                " COM3 close\n", " - end the device runs the update's version (outcome 0)\n"}),
        traced("NakedBlock", concat(snd44(1), {"--on-block", "3:nak"}), {}, 6,
               {" COM3 step block 3 of 858\n", " COM3 answer NAK\n", "(outcome 6)\n"}),
        // A silent port: the reads' waits, the timed read's limit.
        traced("SilentTimeOuts", {"--app-silent", "--boot-silent"}, {}, 3,
               {" COM3 read 0/1 time-out after 4000.0 ms (wait 4000 ms, limit 2000 ms)\n",
                " COM3 read 0/1 time-out after 4000.0 ms (wait 4000 ms, limit 4000 ms)\n"}),
        // Idle fill one byte a read: one line and its count.
        traced("BabbleAgain", {"--start", "bootloader", "--babble", "zeros"}, {}, 3,
               {" COM3 read 1/1: 00\n", " COM3 again "}),
        // Bytes that were on their way when the program gave the port up.
        // A reply with more after its "$": the decision comes first, and
        // the rest still waits when the port closes.
        traced("WaitingAtTheClose",
               concat(snd44(1), {"--reply", "=V \"SND44\" " + update_version() + ",59,1,0$^!100,1,0"}), {}, 0,
               {" COM3 close, 10 waiting: 5E 21 31 30 30 2C 31 2C 30 24\n"}),
        traced("UnpluggedInTheWatch",
               concat(snd44(1), {"--line", "100:!100,1,0", "--line", "100:!100,1,1", "--unplug-at", "line:1"}), {}, 0,
               {" COM3 hang-up\n", " COM3 step watch end: 30000 ms without a message\n"}),
        replayed("ReplayNakedBlock", "nak-block-2", 6),
        replayed("ReplayStatusLost", "status-lost-after-block-2", 6),
        replayed("ReplayUnplugInTheWatch", "unplug-in-watch", 0),
    };
}

// The update traced over real pseudo-terminals, natively and under Wine.
PROGRAM_TABLE_REAL(ProgramTrace, trace_cases, "UpdateTraced");

#ifdef OFWU_VIRTUAL_TIME
// A trace that cannot be created refuses the run before any port opens; a
// disk that is full ends the trace and not the update, and says so.
TEST(ProgramTraceFile, RefusedOrStoppedButTheUpdateGoesOn) {
    RunPlan plan;
    plan.args = {"--batch", "--trace", folder().path + "/no/such/folder/t.trace", "3"};
    plan.devices = {{3, snd44(1)}};
    RunResult run = e2e_run(plan);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_NE(run.output.find("/no/such/folder/t.trace: cannot be created for the wire trace\n"), std::string::npos);
    expect_untouched(run.devices.at(0));

    plan.args = {"--batch", "--trace", "/dev/full", "--report", folder().path + "/full.jsonl", "3"};
    plan.devices = {{3, concat(snd44(1), {"--line", "100:=P"})}};
    run = e2e_run(plan);
    EXPECT_EQ(run.exit_status, 0) << run.output;
    expect_image_complete(run.devices.at(0), 1);
    const std::string note = "\nNote: the wire trace /dev/full stopped at 0.0 ms: the file could not be written";
    EXPECT_NE(run.output.find(note), std::string::npos) << run.output;
    const nlohmann::json report = nlohmann::json::parse(text_of(folder().path + "/full.jsonl"));
    EXPECT_EQ(report.at("trace"), "/dev/full");
    EXPECT_NE(report.at("trace_stopped").get<std::string>().find("could not be written"), std::string::npos);
}
#endif

}  // namespace
