// The simulated device: its application at 19200 baud and its bootloader at
// 115200 baud, as one state machine driven by received bytes and by time.
// It knows nothing of the pseudo-terminal: the line (devsim.cpp) hands it the
// bytes that arrived at the right rate and sends what it puts in its outbox.
#ifndef OFWU_DEVSIM_DEVICE_H
#define OFWU_DEVSIM_DEVICE_H

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "packet_codec.h"
#include "replay.h"
#include "report.h"
#include "scenario.h"
#include "transfer_check.h"

constexpr uint32_t APP_BAUD = 19200;
constexpr uint32_t BOOT_BAUD = 115200;
// A program answers at once; on a loaded test machine it may be held up a
// while, which must not look like a broken exchange. An answer is waited for
// longer than the program's own longest wait (4 s): a program held up short
// of that still completes its exchange, so only one that never answers is
// reported.
constexpr uint64_t PARTIAL_PACKET_US = 2000000;  // a frame cut off this long ago is given up
constexpr uint64_t ACK_WAIT_US = 5000000;        // the program answers a reply packet within this
constexpr size_t APP_LINE_MAX = 256;            // longer application input is cut there
constexpr uint32_t NOISE_BURST = 10;            // noise bytes a noise fault sends
constexpr size_t BABBLE_QUEUE = 64;             // babble kept queued, topped up as it goes out

enum class Mode { application, bootloader };

struct OutByte {
    uint64_t due_us;   // not to be sent before this time
    uint8_t byte;
};

struct Device {
    Scenario scenario;
    Report report;
    TransferCheck transfer;
    Mode mode = Mode::application;
    uint64_t now_us = 0;
    uint32_t line_baud = 0;              // the program's rate, kept up to date by the line
    std::deque<OutByte> outbox;          // in order of due time
    std::string babble;                  // sent again and again once started; empty: none

    // Application.
    std::string app_line;
    bool in_line = false;                // a "^" came and its "$" has not
    uint64_t bootl_at_us = 0;            // when the switch to the bootloader happens; 0: none
    std::vector<ScriptLine> script;      // the script being played
    size_t script_next = 0;
    uint64_t script_at_us = 0;           // when the next script line is due

    // Bootloader.
    PacketReader reader;
    uint64_t last_boot_byte_us = 0;
    std::string entry_match;             // the entry string, arriving while in the bootloader
    bool awaiting_ack = false;           // a reply packet went out; its ACK or NAK is due
    uint64_t ack_deadline_us = 0;
    bool awaiting_status = false;        // a command was accepted; "#" must come next
    uint8_t pending_status = '@';

    // Faults already played, by step ("probe", "start", "block:K", "entry",
    // "restart"), when each is to be played once.
    std::set<std::string> faults_spent;
    bool entry_fault_played = false;     // the present entry met its fault

    // Steps seen so far, for the report and for --unplug-at.
    uint32_t queries = 0;
    uint32_t probes = 0;
    uint32_t status_requests = 0;
    uint32_t script_lines = 0;
    uint64_t unplug_due_us = UINT64_MAX;  // a step that unplugs a little later
    bool unplugged = false;
    std::string unplug_step;

    // Playing a wire trace instead (Scenario::replay_path).
    bool replaying = false;
    Replay replay;
};

// Sets the device up from its scenario at time 0. False with a reason when
// the scenario cannot be played (an unreadable image, say).
bool device_start(Device* device, const Scenario& scenario, std::string* error);
uint32_t device_baud(const Device& device);
// One byte that arrived while the program's rate matched the device's.
void device_receive(Device* device, uint8_t byte, uint64_t now_us);
// One byte that arrived at a rate the device's present mode does not use.
void device_noise(Device* device, uint8_t byte, uint64_t now_us);
// One byte that has fully arrived, sent by the program at `sent_baud`: heard
// when that is the device's rate, noise otherwise.
void device_arrive(Device* device, uint8_t byte, uint32_t sent_baud, uint64_t now_us);
// A pseudo-terminal does not hold a rate change back until the bytes written
// before it have been read: a read that finds the line at a new rate may hold
// bytes sent at the rate before it (the program wrote them, then changed the
// rate before devsim could read) as well as bytes sent since. They are told
// apart by what the program sends at the application's rate, printable
// '^...$' lines, and at the bootloader's, zero fill and binary frames. The
// bytes before the index returned were sent at old_baud, the rest at new_baud.
size_t rate_change_split(const uint8_t* bytes, size_t count, uint32_t old_baud, uint32_t new_baud);
// Timed work: the switch to the bootloader, script lines, given-up frames.
void device_advance(Device* device, uint64_t now_us);
// The time of the next timed work, or UINT64_MAX.
uint64_t device_next_timer(const Device& device);

// The JSON report of the whole session.
std::string device_report_json(const Device& device, const std::string& stop_reason,
                               const std::string& pty_name, double start_unix_ms);
// Each expectation of the scenario that was not met, one line each.
std::vector<std::string> device_unmet(const Device& device);

// Shared by the two halves of the device (application.cpp, bootloader.cpp).
void device_log(Device* device, const std::string& kind, const std::string& detail);
void device_send(Device* device, const std::vector<uint8_t>& bytes, uint64_t delay_us = 0);
void device_send_text(Device* device, const std::string& text, uint64_t delay_us = 0);
// `count` noise bytes: control bytes, bytes above 0x7F and letters, never
// "^" or "$" (they would frame a line), ACK or NAK.
void device_send_noise(Device* device, uint32_t count, uint64_t delay_us = 0);
// The fault to play at step `key`: `fault` itself, or none when faults are
// played once and this one has been. `spend` marks it played.
Fault device_fault(Device* device, const Fault& fault, const std::string& key, bool spend = true);
// The program's entry is over (it queries the version again, or the device
// has switched): an entry fault met during it counts as played.
void device_entry_over(Device* device);
// Marks a step; unplugs the device when it is the scenario's unplug step.
// True when the device has been unplugged.
bool device_step(Device* device, const std::string& name, uint32_t number);
// The same for a step whose own bytes must reach the program first: the
// device is unplugged `delay_us` later.
void device_step_later(Device* device, const std::string& name, uint32_t number, uint64_t delay_us);
void device_enter_bootloader(Device* device);
void device_restart_application(Device* device);
void device_play_script(Device* device, const std::vector<ScriptLine>& script, uint64_t delay_us);
// Starts the babble `unit` (sent for ever, at the line's own pace) when the
// scenario's babble is `kind`; true when it did.
bool device_babble(Device* device, const std::string& kind, const std::string& unit);

void application_receive(Device* device, uint8_t byte);
void application_advance(Device* device);
void bootloader_receive(Device* device, uint8_t byte);
void bootloader_advance(Device* device);

#endif
