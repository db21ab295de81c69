// The rows of the fault matrix (program_fault.h): for each step of an update,
// each fault that can happen there, what the program must print, the rates it
// must set and the time it may take.
#include "program_fault.h"

namespace {

const std::vector<std::string> ONE_ATTEMPT = {"38400", "19200", "115200", "19200"};
const std::vector<std::string> TWO_ATTEMPTS = {"38400", "19200", "115200", "19200", "115200", "19200"};

FaultRow make_row(const std::string& name, const std::vector<std::string>& fault, Outcome outcome,
                  const std::vector<std::string>& rates) {
    FaultRow row;
    row.name = name;
    row.fault = fault;
    row.outcome = outcome;
    row.rates = rates;
    return row;
}

}  // namespace

std::vector<FaultRow> fault_rows() {
    std::vector<FaultRow> rows;
    const double WAIT = 4000;  // one port wait
    const std::vector<std::string> UNPLUGGED_AT_115200 = {"38400", "19200", "115200"};

    // The entry string. An application that does not switch leaves every
    // probe unanswered; the next pass finds it answering at 19200 baud again.
    FaultRow row = make_row("EntrySilent", {"--on-entry", "silent"}, Outcome::retried, TWO_ATTEMPTS);
    row.message = NO_RESPONSE;
    row.gap = {"entry ignored", "", "query", 1000 + 3 * WAIT, 1000 + 3 * WAIT + 4000};
    rows.push_back(row);
    rows.push_back(make_row("EntryNoise", {"--on-entry", "noise"}, Outcome::absorbed, ONE_ATTEMPT));
    row = make_row("EntryUnplug", {"--unplug-at", "bootl"}, Outcome::gone, {"38400", "19200"});
    row.message = NO_RESPONSE;
    rows.push_back(row);

    // The probe: the next of the entry's three attempts is answered.
    rows.push_back(make_row("ProbeNak", {"--on-probe", "nak"}, Outcome::absorbed, ONE_ATTEMPT));
    row = make_row("ProbeSilent", {"--on-probe", "silent"}, Outcome::absorbed, ONE_ATTEMPT);
    row.gap = {"probe ignored", "", "probe", WAIT, WAIT + 1500};
    rows.push_back(row);
    rows.push_back(make_row("ProbeNoise", {"--on-probe", "noise"}, Outcome::absorbed, ONE_ATTEMPT));
    // devsim notes a new rate when it next looks, which it may not do
    // between the flush and the probe that unplugs it: only the probe's own
    // rate is checked.
    row = make_row("ProbeUnplug", {"--unplug-at", "probe"}, Outcome::gone, {});
    row.message = NO_RESPONSE;
    rows.push_back(row);

    // The start packet: the device stays in its bootloader, where the next
    // pass finds it by its probe.
    struct Told { const char* name; const char* fault; std::string message; };
    const Told start_faults[] = {
        {"Nak", "nak", lost(1, 1)},       {"Silent", "silent", lost(1, 1)},        {"StatusD", "D", FLASH_MISMATCH},
        {"Status45", "status:45", lost(1, 5)}, {"Noise", "noise", lost(1, 1)},
    };
    for (const Told& told : start_faults) {
        row = make_row(std::string("Start") + told.name, {"--on-start", told.fault}, Outcome::retried, TWO_ATTEMPTS);
        row.message = told.message;
        row.start_packets = 2;
        // The next pass's version query reaches a bootloader: noise to it.
        if (std::string(told.name) == "Silent") row.gap = {"command ignored", "start packet", "noise", WAIT, WAIT + 1000};
        rows.push_back(row);
    }
    row = make_row("StartUnplug", {"--unplug-at", "start"}, Outcome::gone, UNPLUGGED_AT_115200);
    row.message = lost(1, 1);
    rows.push_back(row);

    // The first, a middle and the last block: the device is told to return
    // to its application, and the next attempt starts over.
    const uint32_t last = snd44_image().block_count, middle = last / 2;
    const std::pair<const char*, uint32_t> blocks[] = {{"First", 1}, {"Middle", middle}, {"Last", last}};
    const Told block_faults[] = {
        {"Nak", "nak", lost(2, 1)},
        {"Silent", "silent", lost(2, 1)},
        {"Status45", "status:45", lost(2, 5)},
        {"Noise", "noise", lost(2, 1)},
    };
    for (const auto& [where, block] : blocks) {
        const std::string k = std::to_string(block);
        for (const Told& told : block_faults) {
            row = make_row(std::string(where) + "Block" + told.name, {"--on-block", k + ":" + told.fault},
                           Outcome::retried, TWO_ATTEMPTS);
            row.failed_block = block;
            row.message = told.message;
            row.start_packets = 2;
            if (std::string(told.name) == "Silent") row.gap = {"command ignored", "block " + k, "return", WAIT, WAIT + 2000};
            rows.push_back(row);
        }
        row = make_row(std::string(where) + "BlockUnplug", {"--unplug-at", "block:" + k}, Outcome::gone,
                       UNPLUGGED_AT_115200);
        row.failed_block = block;
        row.message = lost(2, 1);
        row.replug_in_bootloader = true;
        rows.push_back(row);
    }
    row = make_row("MiddleBlockStatusD", {"--on-block", std::to_string(middle) + ":D"}, Outcome::retried, TWO_ATTEMPTS);
    row.failed_block = middle;
    row.message = FLASH_MISMATCH;
    row.start_packets = 2;
    rows.push_back(row);

    // The status exchange after the start packet (the first status request)
    // and after the middle block (the one after it): the request unanswered or
    // refused, the reply withheld, the device gone at the request.
    struct StatusFault { const char* name; uint32_t request; uint32_t block; const char* fault; std::string message; };
    const StatusFault status_faults[] = {
        {"StartStatusSilent", 1, 0, "silent", lost(1, 2)},
        {"StartStatusNoReply", 1, 0, "no-reply", lost(1, 3)},
        {"MiddleBlockStatusNak", middle + 1, middle, "nak", lost(2, 2)},
        {"MiddleBlockStatusNoReply", middle + 1, middle, "no-reply", lost(2, 3)},
    };
    for (const StatusFault& f : status_faults) {
        row = make_row(f.name, {"--on-status", std::to_string(f.request) + ":" + f.fault}, Outcome::retried,
                       TWO_ATTEMPTS);
        row.failed_block = f.block;
        row.message = f.message;
        row.start_packets = 2;
        rows.push_back(row);
    }
    row = make_row("MiddleBlockStatusUnplug", {"--unplug-at", "status:" + std::to_string(middle + 1)}, Outcome::gone,
                   UNPLUGGED_AT_115200);
    row.failed_block = middle;
    row.message = lost(2, 2);
    row.replug_in_bootloader = true;
    rows.push_back(row);

    // The return command: gone before the restarted application speaks.
    // The image is whole; the watch after the transfer runs its 30 s.
    row = make_row("ReturnUnplug", {"--unplug-at", "return"}, Outcome::watched, UNPLUGGED_AT_115200);
    row.script = {};
    row.returned = false;
    row.min_ms = 30000;
    row.max_ms = 50000;
    rows.push_back(row);

    // The restarted application's version line: missing (read in vain for
    // one port wait), or after noise. The ready message still ends the watch.
    row = make_row("RestartSilent", {"--on-restart", "silent"}, Outcome::absorbed, ONE_ATTEMPT);
    row.script = {"--line", "6000:=P"};
    rows.push_back(row);
    rows.push_back(make_row("RestartNoise", {"--on-restart", "noise"}, Outcome::absorbed, ONE_ATTEMPT));

    // The watch: nothing at all; a line of noise before the ready message;
    // the device gone after one progress message.
    row = make_row("WatchSilent", {}, Outcome::watched, ONE_ATTEMPT);
    row.script = {};
    row.min_ms = 30000;
    row.max_ms = 50000;
    rows.push_back(row);
    row = make_row("WatchNoise", {}, Outcome::absorbed, ONE_ATTEMPT);
    row.script = {"--line", "100:\\x07\\xFFx\\x80", "--line", "100:=P"};
    rows.push_back(row);
    row = make_row("WatchUnplug", {"--unplug-at", "line:1"}, Outcome::watched, ONE_ATTEMPT);
    row.script = {"--line", "100:!100,1,2"};
    row.after_progress = "\rUpdating DSPs: Bank = 1, Complete =  50%";  // not a bank's first step: no new line
    row.min_ms = 30000;
    row.max_ms = 50000;
    rows.push_back(row);
    return rows;
}

RunPlan fault_plan(const FaultRow& row) {
    RunPlan plan;
    plan.args = {"3"};
    std::vector<std::string> device = concat(concat(snd44(1), row.script), row.fault);
    if (row.outcome == Outcome::retried || row.outcome == Outcome::absorbed) device.push_back("--faults-once");
    plan.keys = {{NEWER_QUESTION, "y"}};
    if (row.outcome == Outcome::retried) plan.keys.push_back({NEWER_QUESTION, "y"});
    plan.keys.push_back({KEY_PROMPT, "x"});
    plan.devices = {{3, device}};
    plan.timeout_ms = 70000;
    return plan;
}

RunPlan replug_plan(const FaultRow& row) {
    RunPlan plan;
    plan.args = {"3"};
    std::vector<std::string> device = concat(snd44(1), {"--line", "100:=P"});
    if (row.replug_in_bootloader) device = concat(device, {"--start", "bootloader"});
    plan.keys = {{NEWER_QUESTION, "y"}, {KEY_PROMPT, "x"}};
    plan.devices = {{3, device}};
    plan.timeout_ms = 40000;
    return plan;
}

