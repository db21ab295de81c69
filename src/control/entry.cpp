// Program entry: the command line, banner, the port argument and the port scan.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "catalogue/firmware_image.h"
#include "catalogue/image_signature.h"
#include "control/command_line.h"
#include "control/program.h"
#include "identify/detect.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/number_text.h"
#include "serial/link_rate.h"
#include "serial/packet_link.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"
#include "state/program_state.h"

namespace {

static_assert(PORT_NUMBER_MAX == PORT_COM_MAX, "the argument names the COM numbers the scan knows");
constexpr uint32_t PORT_HINT_SIZE = 1024;  // one line of advice after "Could not open port."
constexpr char BANNER[] = "Ostrel firmware update utility. Version " OFWU_VERSION;
constexpr char NOTICE[] = "\nCopyright (C) Ostrel. For Ostrel devices only; keep the device powered during an update.\n";

// After "Could not open port.", a line that says what the user can do about
// it, where the system can tell (Linux: no permission, or another program
// holds the port).
void print_open_hint(const PortCandidate* candidate) {
    char hint[PORT_HINT_SIZE];
    if (port_failure_hint(&port, candidate->device, hint, sizeof hint)) print_message("\n  %s", hint);
}

enum ScanVerdict : int32_t {
    SCAN_NOTHING,    // the port did not open, or nothing answered
    SCAN_UNFIT,      // a device answered, but no image fits it
    SCAN_FOUND,      // a device that an image fits: the port stays open
};

// Opens and identifies one port. On SCAN_FOUND the port stays open at the
// rate detection left it.
ScanVerdict scan_port(const PortCandidate* candidate) {
    std::memcpy(port_label, candidate->label, sizeof port_label);
    print_message("\n%s: ", port_label);
    if (!port_open_candidate(&port, candidate, APPLICATION_BAUD)) {
        link_rate_opened(0);
        print_message("Could not open port.");
        print_open_hint(candidate);
        return SCAN_NOTHING;
    }
    link_rate_opened(APPLICATION_BAUD);
    drain_input();
    if (detect_device() != DETECT_OK) {
        print_message("No Ostrel devices detected.");
        port_close(&port);
        return SCAN_NOTHING;
    }
    selected_image = find_image(device.product_code, device.hardware_revision);
    if (selected_image == nullptr) {
        batch_note_device();  // the closing line names the device no image fits
        print_message("A Ostrel device was found, but it does not match this firmware.");
        port_close(&port);
        return SCAN_UNFIT;
    }
    // "firmwware" is the text users and their scripts know: kept as it is.
    print_message("A Ostrel device compatible with this firmwware was found.");
    char note[PORT_HINT_SIZE];
    if (port_open_note(&port, candidate->device, note, sizeof note)) print_message("\n  %s", note);
    return SCAN_FOUND;
}

// The ports the one argument names: a path (on Linux, an argument with a
// "/"), COM `x` for 1 to 99, or the scan for 0. A number past 99 or a path
// too long to open as given ends the program here.
uint32_t port_of_argument(const char* argument, PortCandidate* candidates) {
    if (port_argument_is_path(argument)) {
        if (port_candidate_path(argument, &candidates[0])) return 1;
        print_message("\nThe port name given is too long: at most %u characters.\n",
                      static_cast<unsigned>(PORT_NAME_SIZE - 1));
        program_end(OUTCOME_USAGE);
    }
    // Read as the primary platform's strtoul reads it: text that is no number
    // is 0, and "-1" is 4294967295.
    const uint32_t requested = text_to_u32(argument, nullptr, 10);
    if (requested > PORT_NUMBER_MAX) {
        print_message("\nCOM%u is an invalid COM port number.\nChoose a COM port number between 1 and 99\n",
                      requested);
        program_end(OUTCOME_USAGE);
    }
    if (requested == 0) return port_scan_list(candidates, SCAN_LIST_MAX);
    // COM99 always fits the device name.
    (void)port_candidate_number(requested, &candidates[0]);
    return 1;
}

// --help, --version, --list and --ports answer and end the run, with status 0.
void answer_and_end(const CommandLine& line) {
    if (line.help) {
        print_help();
    } else if (line.version) {
        print_message("ofwu %s\n", OFWU_VERSION);
        image_keys_print();
    } else if (!line.list) {
        if (port_list_print() == 0) print_message("No serial port was found on this machine.\n");
    } else {
        if (line.image != nullptr && !image_file_load(line.image)) program_end(OUTCOME_BAD_IMAGE);
        catalogue_print(line.image);
        if (line.image != nullptr) image_signature_print(line.image, line.signature);
    }
    std::exit(0);
}

// Ends the run here when the command line cannot be used, or the report
// or image file it names cannot, or the image is not the maker's: all of it
// before any port is opened.
void refuse_unusable(const CommandLine& line) {
    if (line.usage_error) {
        if (line.error[0] != '\0') print_message("\n%s (ofwu --help lists the options)\n", line.error);
        // With options, the usage that has them.
        if (line.options) {
            print_message("\n");
            print_help();
        } else {
            print_usage();
        }
        program_end(OUTCOME_USAGE);
    }
    if (line.report != nullptr && !run_report_open(line.report, line.image)) {
        print_message("\n%s: cannot be opened to append the run's report\n", line.report);
        program_end(OUTCOME_USAGE);
    }
    if (line.trace != nullptr && !trace_open(line.trace)) {
        print_message("\n%s: cannot be created for the wire trace\n", line.trace);
        program_end(OUTCOME_USAGE);
    }
    if (line.image == nullptr) return;
    if (!image_file_load(line.image)) program_end(OUTCOME_BAD_IMAGE);
    // The maker's signature, checked once the file keeps the image's own rules.
    if (!image_signature_check(line.image, line.signature, line.allow_unsigned != 0)) program_end(OUTCOME_NOT_SIGNED);
}

}  // namespace

void program_main(int argc, char** argv) {
    batch.start_ticks = timer_start();
    CommandLine line;
    command_line_read(argc, argv, &line);
    // --ports never reads the keyboard either: its usage errors end as an
    // unattended run's do, with status 2 and without waiting.
    batch.active = line.batch || line.ports;
    // An unattended run never touches standard input or the terminal, and
    // sums itself up however it ends.
    if (!batch.active) keys_start();
    // The closing line, and the trace's last lines, on the signals that end a run.
    if (line.batch || line.trace != nullptr) batch_closing_on_signal();
    batch.allow_older = line.allow_older;
    // Progress rewritten in place by "\r" is unreadable in a log.
    batch.progress_lines = line.batch && !output_is_terminal();
    if (!line.usage_error && (line.help || line.version || line.list || line.ports)) answer_and_end(line);

    print_message("\n");
    print_message("%s", BANNER);
    print_message("%s", NOTICE);
    refuse_unusable(line);
    // Up to 99 candidates of some 1 KiB each: kept off the stack.
    static PortCandidate candidates[SCAN_LIST_MAX];
    const uint32_t count =
        line.port != nullptr ? port_of_argument(line.port, candidates) : port_scan_list(candidates, SCAN_LIST_MAX);
    if (count == 0) print_message("\nNo serial port was found on this machine.");
    bool unfit = false;
    char unfit_label[PORT_LABEL_SIZE] = "";  // the port of the last device no image fits
    for (uint32_t i = 0; i < count; ++i) {
        const ScanVerdict verdict = scan_port(&candidates[i]);
        if (verdict == SCAN_FOUND) {
            print_message("\n");
            run_main_loop();
        }
        if (verdict == SCAN_UNFIT) std::memcpy(unfit_label, port_label, sizeof unfit_label);
        unfit = unfit || verdict == SCAN_UNFIT;
    }
    print_message("\n\nNo updatable Ostrel devices found.\n");
    // The one port named, held by another program, is an outcome of its own.
    const bool in_use = line.port != nullptr && count == 1 && port.failure == PORT_FAILURE_IN_USE;
    // The closing line names the device no image fits, or no one port of several.
    if (!in_use) std::memcpy(port_label, unfit_label, sizeof port_label);
    program_end(unfit ? OUTCOME_NO_IMAGE : in_use ? OUTCOME_IN_USE : OUTCOME_NO_DEVICE);
}
