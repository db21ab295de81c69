// The program's platform on the virtual clock: serial_port.h's port calls,
// console.h's keys, sleep and waits, and clock.h's tick count, with a device
// model (tools/devsim) at the far end of each port. Linked in place of the
// system's port and console code; the system's files are used as they are.
//
// The line is modelled as devsim's pty line plays it:
// - a byte is understood only when the program's rate is the rate of the
//   device's present mode; otherwise the device takes it as noise, and
//   what the device sends reaches the program as 0xFF;
// - a paced device (--pace) puts each byte on the wire for 10 bit-times at
//   the line's rate, both ways, and a write returns once its bytes have left
//   the port, as a UART's drain does; an unpaced one moves bytes at once;
//   a babble is always paced, so that it never ends but never floods;
// - the program's input queue holds PROGRAM_QUEUE bytes; a device that
//   finds it full waits, as a pty's writer does;
// - the line keeps its settings while the program has it closed, and the
//   program puts the rate it found back as it closes, as on a pty;
// - a device that is unplugged or gives up its idle line hangs it up: what
//   the program had not read yet is lost, reads end at once, the port is
//   marked hung up, and the name opens no more.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>

#include "device.h"
#include "platform/console.h"
#include "pty_line.h"
#include "serial/serial_port.h"
#include "virtual_world.h"

const char WORLD_OUTPUT_FILE[] = "output.bin";
const char WORLD_TIMES_FILE[] = "times.txt";
const char WORLD_META_FILE[] = "meta.txt";

namespace {

constexpr uint32_t FIRST_BAUD = 38400;          // a pty's rate before any program set one
constexpr size_t PROGRAM_QUEUE = 4096;          // the program's input queue, as a tty's
constexpr uint32_t EXTRA_IDLE_MS = 10000;       // a device outlives a run by this much at most
// The program's tick count starts this close below its wrap, so that every
// run crosses it: the program's limits are differences and must hold there.
constexpr uint32_t TICK_BASE = 0xFFFFFFFFu - 20000u;
constexpr uint64_t NEVER = UINT64_MAX;
constexpr uint32_t SAME_TIME_STEPS_MAX = 1000000;  // a world that stops moving is a fault of the model

struct InByte {
    uint64_t arrival_us;
    uint8_t byte;
    uint32_t sent_baud;   // the program's rate when it wrote the byte
};

struct OutByte {
    uint64_t arrival_us;  // fully received by the program's port
    uint8_t byte;
};

struct Line {
    std::string name;        // what port_open_device opens: "COM3", or a path
    uint32_t com = 0;
    Device device;
    uint32_t baud = FIRST_BAUD;
    uint32_t found_baud = FIRST_BAUD;  // the rate the program found at open
    bool program_set_rate = false;
    bool open = false;
    bool gone = false;
    std::string stop_reason;
    uint64_t last_input_us = 0;
    uint64_t to_device_free_us = 0;   // the program's side of the wire is busy until
    uint64_t to_program_free_us = 0;  // the device's side
    std::deque<InByte> to_device;
    std::deque<OutByte> to_program;
};

struct World {
    uint64_t now_us = 0;
    uint64_t limit_us = 0;
    std::string results;
    std::vector<std::unique_ptr<Line>> lines;
    // Keys: each step's keys are typed once its text has appeared (from
    // where the step before it was found) and its delay has passed.
    std::vector<KeyStep> steps;
    size_t next_step = 0;
    size_t search_from = 0;
    uint64_t step_seen_us = NEVER;
    std::deque<uint8_t> keys;
    // Standard output, and when each write of it came.
    std::string output;
    std::vector<std::pair<uint64_t, size_t>> writes;
    bool finished = false;
};

World* world = nullptr;

bool paced_in(const Line& l) {
    return l.device.scenario.pace;
}

bool paced_out(const Line& l) {
    return l.device.scenario.pace || !l.device.babble.empty();
}

uint64_t idle_deadline(const Line& l) {
    return l.last_input_us + static_cast<uint64_t>(l.device.scenario.idle_timeout_ms) * 1000u;
}

bool room_for_device(const Line& l) {
    return l.to_program.size() < PROGRAM_QUEUE;
}

// When the device's next byte leaves it, or NEVER.
uint64_t next_departure(const Line& l) {
    if (l.device.outbox.empty() || !room_for_device(l)) return NEVER;
    return std::max(l.device.outbox.front().due_us, l.to_program_free_us);
}

uint64_t line_next_event(const Line& l, uint64_t now) {
    if (l.gone) return NEVER;
    uint64_t next = std::min(device_next_timer(l.device), idle_deadline(l));
    if (!l.to_device.empty()) next = std::min(next, l.to_device.front().arrival_us);
    next = std::min(next, next_departure(l));
    // A byte still on its way to the program ends a wait when it arrives.
    for (const OutByte& b : l.to_program) {
        if (b.arrival_us > now) {
            next = std::min(next, b.arrival_us);
            break;
        }
    }
    return next;
}

void line_log(Line* l, const std::string& kind, const std::string& detail) {
    l->device.now_us = world->now_us;
    l->device.line_baud = l->baud;
    device_log(&l->device, kind, detail);
}

void line_set_rate(Line* l, uint32_t baud) {
    if (baud == l->baud) return;
    l->baud = baud;
    if (baud != FIRST_BAUD) l->program_set_rate = true;
    line_log(l, "line rate", std::to_string(baud));
}

void line_stop(Line* l, const std::string& reason) {
    l->gone = true;
    l->stop_reason = reason;
    // A hang-up drops what the program had not read.
    l->to_program.clear();
}

// The device's bytes that leave it at `now`, as the program will receive them.
void line_send(Line* l, uint64_t now) {
    Device* device = &l->device;
    const bool rates_match = l->baud == device_baud(*device);
    const uint64_t byte_us = paced_out(*l) ? byte_time_us(device_baud(*device)) : 0;
    uint64_t sent = 0;
    while (next_departure(*l) <= now) {
        const uint64_t departure = next_departure(*l);
        const uint8_t byte = rates_match ? device->outbox.front().byte : 0xFF;
        device->outbox.pop_front();
        l->to_program_free_us = departure + byte_us;
        l->to_program.push_back({departure + byte_us, byte});
        report_wire(&device->report, true, l->baud, &byte, 1);
        ++sent;
    }
    if (sent == 0) return;
    report_count(&device->report, "bytes_sent", sent);
    // Bytes sent once the program has given the line up, back at its first
    // rate, reach no one and are no fault of the program's.
    const bool given_up = l->program_set_rate && l->baud == FIRST_BAUD;
    if (!rates_match && given_up) {
        line_log(l, "sent after the program gave the line up", std::to_string(sent) + " bytes");
    } else if (!rates_match) {
        report_count(&device->report, "bytes_sent_wrong_rate", sent);
        line_log(l, "sent at a wrong rate", std::to_string(sent) + " bytes arrive as 0xFF");
    }
}

// Everything that is due on the line at `now`.
void line_run(Line* l, uint64_t now) {
    if (l->gone) return;
    Device* device = &l->device;
    while (!l->to_device.empty() && l->to_device.front().arrival_us <= now && !device->unplugged) {
        const InByte in = l->to_device.front();
        l->to_device.pop_front();
        device_arrive(device, in.byte, in.sent_baud, in.arrival_us);
    }
    device_advance(device, now);
    if (device->unplugged) return line_stop(l, "unplugged");
    if (now >= idle_deadline(*l)) return line_stop(l, "idle timeout");
    device->line_baud = l->baud;
    line_send(l, now);
}

uint64_t key_step_due() {
    if (world->step_seen_us == NEVER) return NEVER;
    return world->step_seen_us + static_cast<uint64_t>(world->steps[world->next_step].delay_ms) * 1000u;
}

// Types the keys of every step whose text has appeared and whose delay is over.
void keys_poll() {
    while (world->next_step < world->steps.size()) {
        const KeyStep& step = world->steps[world->next_step];
        const size_t at = world->output.find(step.after, world->search_from);
        if (at == std::string::npos) return;
        if (world->step_seen_us == NEVER) world->step_seen_us = world->now_us;
        if (world->now_us < key_step_due()) return;
        world->keys.insert(world->keys.end(), step.keys.begin(), step.keys.end());
        world->search_from = at + step.after.size();
        world->next_step += 1;
        world->step_seen_us = NEVER;
    }
}

uint64_t next_event() {
    uint64_t next = key_step_due();
    for (const auto& l : world->lines) next = std::min(next, line_next_event(*l, world->now_us));
    return next;
}

void check_limit() {
    if (world->now_us <= world->limit_us) return;
    world->now_us = world->limit_us;
    world_finish(true);
    std::fflush(stdout);
    _exit(WORLD_TIMED_OUT_STATUS);
}

// Runs the world up to `until`, every event in its turn.
void advance_to(uint64_t until) {
    uint32_t same_time = 0;
    for (;;) {
        const uint64_t next = next_event();
        if (next > until) break;
        same_time = next <= world->now_us ? same_time + 1 : 0;
        if (same_time > SAME_TIME_STEPS_MAX) {
            std::fprintf(stderr, "virtual world: no progress at %llu us\n", static_cast<unsigned long long>(next));
            std::abort();
        }
        world->now_us = std::max(world->now_us, next);
        check_limit();
        for (const auto& l : world->lines) line_run(l.get(), world->now_us);
        keys_poll();
    }
    world->now_us = std::max(world->now_us, until);
    check_limit();
}

// Runs the world until `ready` holds, at most until `deadline`; whether it holds.
template <typename Ready>
bool wait_until(uint64_t deadline, Ready ready) {
    for (;;) {
        if (ready()) return true;
        const uint64_t next = next_event();
        if (next > deadline) {
            advance_to(deadline);
            return ready();
        }
        advance_to(next);
    }
}

Line* line_of(const SerialPort* port) {
    if (!port->is_open || port->handle < 0 || static_cast<size_t>(port->handle) >= world->lines.size()) return nullptr;
    return world->lines[static_cast<size_t>(port->handle)].get();
}

size_t arrived(const Line& l) {
    size_t n = 0;
    for (const OutByte& b : l.to_program) {
        if (b.arrival_us > world->now_us) break;
        ++n;
    }
    return n;
}

void release(SerialPort* port) {
    port->handle = -1;
    port->is_open = 0;
    port->hung_up = 0;
}

}  // namespace

std::string world_device_file(size_t index, const char* what) {
    return "device-" + std::to_string(index) + "." + what;
}

bool world_start(const RunPlan& plan, const std::string& results, std::string* error) {
    world = new World();  // lives until the process ends
    world->results = results;
    world->limit_us = static_cast<uint64_t>(plan.timeout_ms) * 1000u;
    world->steps = plan.keys;
    for (const DevicePlan& d : plan.devices) {
        auto l = std::make_unique<Line>();
        l->com = d.com;
        l->name = d.link.empty() ? "COM" + std::to_string(d.com) : d.link;
        std::vector<std::string> args = {"devsim", "--link", l->name, "--idle-timeout",
                                         std::to_string(plan.timeout_ms + EXTRA_IDLE_MS)};
        args.insert(args.end(), d.args.begin(), d.args.end());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        Scenario scenario;
        if (!scenario_parse_args(static_cast<int>(argv.size()), argv.data(), &scenario, error) ||
            !device_start(&l->device, scenario, error)) {
            *error = "device on " + l->name + ": " + *error;
            return false;
        }
        l->device.line_baud = FIRST_BAUD;
        device_log(&l->device, "line rate", std::to_string(FIRST_BAUD));
        world->lines.push_back(std::move(l));
    }
    return true;
}

void world_output(const char* text, size_t size) {
    if (size == 0) return;
    world->writes.emplace_back(world->now_us, world->output.size());
    world->output.append(text, size);
    keys_poll();
}

void world_finish(bool timed_out) {
    if (world == nullptr || world->finished) return;
    world->finished = true;
    const std::string& folder = world->results;
    std::ofstream(folder + "/" + WORLD_OUTPUT_FILE, std::ios::binary) << world->output;
    std::ofstream times(folder + "/" + WORLD_TIMES_FILE);
    for (const auto& w : world->writes) times << w.first << " " << w.second << "\n";
    std::ofstream(folder + "/" + WORLD_META_FILE)
        << world->now_us << " " << world->next_step << " " << (timed_out ? 1 : 0) << "\n";
    for (size_t i = 0; i < world->lines.size(); ++i) {
        Line& l = *world->lines[i];
        l.device.now_us = world->now_us;
        // The harness stops a device that is still there once the program has ended.
        const std::string reason = l.gone ? l.stop_reason : "SIGTERM";
        std::ofstream(folder + "/" + world_device_file(i, "json")) << device_report_json(l.device, reason, l.name, 0);
        const std::vector<std::string> unmet = device_unmet(l.device);
        std::ofstream log(folder + "/" + world_device_file(i, "log"));
        for (const std::string& u : unmet) log << "devsim: expectation not met: " << u << "\n";
        std::ofstream(folder + "/" + world_device_file(i, "status")) << (unmet.empty() ? 0 : 1) << "\n";
    }
}

// ---- serial_port.h ----

int32_t port_open_device(SerialPort* port, const char* name, uint32_t baud) {
    release(port);
    for (size_t i = 0; i < world->lines.size(); ++i) {
        Line* l = world->lines[i].get();
        if (l->name != name || l->gone) continue;
        if (l->open) break;  // another opener: refused as a busy port is
        port->handle = static_cast<int>(i);
        port->is_open = 1;
        l->open = true;
        l->found_baud = l->baud;
        line_set_rate(l, baud);
        return 1;
    }
    port->failure = PORT_FAILURE_OTHER;
    return 0;
}

int32_t port_device_set_baud(SerialPort* port, uint32_t baud) {
    Line* l = line_of(port);
    if (l == nullptr) return 0;
    if (l->gone) {
        (void)port_device_close(port);
        return 0;
    }
    line_set_rate(l, baud);
    return 1;
}

int32_t port_device_close(SerialPort* port) {
    Line* l = line_of(port);
    if (l != nullptr) {
        l->open = false;
        if (!l->gone) line_set_rate(l, l->found_baud);
    }
    release(port);
    return 1;
}

int32_t port_device_write(SerialPort* port, const uint8_t* data, int32_t count) {
    Line* l = line_of(port);
    if (l == nullptr || count <= 0 || l->gone) return 0;
    const uint64_t byte_us = paced_in(*l) ? byte_time_us(l->baud) : 0;
    for (int32_t i = 0; i < count; ++i) {
        l->to_device_free_us = std::max(world->now_us, l->to_device_free_us) + byte_us;
        l->to_device.push_back({l->to_device_free_us, data[i], l->baud});
    }
    l->last_input_us = world->now_us;
    // The write returns once its bytes have left the port.
    advance_to(l->to_device_free_us);
    return count;
}

int32_t port_device_read(SerialPort* port, uint8_t* buffer, int32_t count) {
    Line* l = line_of(port);
    if (l == nullptr || count <= 0) return 0;
    // As the system's ports: PORT_WAIT_MS bounds the whole read; once bytes
    // have come, it ends after PORT_INTERBYTE_MS without another.
    const uint64_t end = world->now_us + static_cast<uint64_t>(PORT_WAIT_MS) * 1000u;
    int32_t got = 0;
    while (got < count) {
        const uint64_t gap_end = world->now_us + static_cast<uint64_t>(PORT_INTERBYTE_MS) * 1000u;
        const uint64_t wait_end = got == 0 ? end : std::min(end, gap_end);
        const bool ready = wait_until(wait_end, [l] { return l->gone || arrived(*l) > 0; });
        if (l->gone) {
            port->hung_up = 1;
            break;
        }
        if (!ready) {
            if (wait_end == end) return 0;  // the whole wait ran out with the read still going
            break;
        }
        while (got < count && arrived(*l) > 0) {
            buffer[got++] = l->to_program.front().byte;
            l->to_program.pop_front();
        }
    }
    return got;
}

int32_t port_device_hung_up(const SerialPort* port) {
    return port->hung_up;
}

int32_t port_device_pending(SerialPort* port) {
    Line* l = line_of(port);
    if (l == nullptr) return 0;
    if (l->gone) {
        port->hung_up = 1;
        return 0;
    }
    return static_cast<int32_t>(arrived(*l));
}

int32_t port_argument_is_path(const char* argument) {
    return std::strchr(argument, '/') != nullptr ? 1 : 0;
}

int32_t port_device_name(uint32_t number, char* name, size_t size) {
    const int written = std::snprintf(name, size, "COM%u", number);
    return (written > 0 && static_cast<size_t>(written) < size) ? 1 : 0;
}

uint32_t port_scan_list(PortCandidate* list, uint32_t most) {
    uint32_t count = 0;
    for (uint32_t number = 1; number <= SCAN_PORTS_MAX && count < most; ++number) {
        if (port_candidate_number(number, &list[count])) ++count;
    }
    return count;
}

uint32_t port_list_print() {
    uint32_t count = 0;
    for (const auto& l : world->lines) {
        print_message("%s\n", l->name.c_str());
        ++count;
    }
    return count;
}

int32_t port_failure_hint(const SerialPort*, const char*, char*, size_t) {
    return 0;
}

int32_t port_open_note(const SerialPort*, const char*, char*, size_t) {
    return 0;
}

// ---- console.h and clock.h ----

void console_start() {}

void keys_start() {}

int32_t key_waiting() {
    return world->keys.empty() ? 0 : 1;
}

int32_t key_read() {
    // Keys come from a pipe that stays open: a key nobody types is waited
    // for until the run's time limit.
    (void)wait_until(world->limit_us + 1, [] { return !world->keys.empty(); });
    const int32_t key = world->keys.front();
    world->keys.pop_front();
    return key;
}

int32_t key_take() {
    const int32_t key = key_read();
    // As from a pipe: a second code only when one is waiting already, a
    // UTF-8 character's bytes with it.
    if (key == 0 && key_waiting()) (void)key_read();
    const int continuations = key >= 0xF0 ? 3 : key >= 0xE0 ? 2 : key >= 0xC0 ? 1 : 0;
    for (int i = 0; i < continuations && key_waiting(); ++i) (void)key_read();
    return key;
}

void keys_discard() {}  // piped keys are a script's answers, never dropped

void sleep_ms(uint32_t ms) {
    advance_to(world->now_us + static_cast<uint64_t>(ms) * 1000u);
}

void idle_wait(SerialPort* port, uint32_t longest_ms) {
    Line* l = port->hung_up ? nullptr : line_of(port);
    if (l != nullptr && l->gone) {
        port->hung_up = 1;  // woken at once by the hang-up, then never waited on again
        return;
    }
    (void)wait_until(world->now_us + static_cast<uint64_t>(longest_ms) * 1000u, [l] {
        return !world->keys.empty() || (l != nullptr && (l->gone || arrived(*l) > 0));
    });
}

void console_on_ending_signal(void (*)(int32_t)) {}

void print_now(const char* text) {
    std::fflush(stdout);
    world_output(text, std::strlen(text));
}

uint64_t timer_now_us() {
    return world->now_us;
}

uint32_t timer_start() {
    return static_cast<uint32_t>(world->now_us / 1000u) + TICK_BASE;
}
