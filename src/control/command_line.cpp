// The command line: options, the port argument, the usage and help texts.
#include "control/command_line.h"

#include <cstdio>
#include <cstring>

#include "platform/console.h"
#include "serial/serial_port.h"

namespace {

enum OptionId : int32_t {
    OPTION_BATCH,
    OPTION_ALLOW_OLDER,
    OPTION_IMAGE,
    OPTION_REPORT,
    OPTION_TRACE,
    OPTION_SIGNATURE,
    OPTION_ALLOW_UNSIGNED,
    OPTION_LIST,
    OPTION_PORTS,
    OPTION_HELP,
    OPTION_VERSION,
};

// Every option. Columns: name, takes a value, which.
struct OptionRow {
    const char* name;
    bool takes_value;
    OptionId id;
};
constexpr OptionRow OPTIONS[] = {
    {"batch",       false, OPTION_BATCH},
    {"allow-older", false, OPTION_ALLOW_OLDER},
    {"image",       true,  OPTION_IMAGE},
    {"report",      true,  OPTION_REPORT},
    {"trace",       true,  OPTION_TRACE},
    {"signature",   true,  OPTION_SIGNATURE},
    {"allow-unsigned", false, OPTION_ALLOW_UNSIGNED},
    {"list",        false, OPTION_LIST},
    {"ports",       false, OPTION_PORTS},
    {"help",        false, OPTION_HELP},
    {"version",     false, OPTION_VERSION},
};

bool starts_with_dashes(const char* argument) {
    return argument[0] == '-' && argument[1] == '-';
}

void refuse(CommandLine* line, const char* what, const char* argument) {
    if (line->usage_error) return;  // the first fault is the one reported
    line->usage_error = 1;
    (void)std::snprintf(line->error, sizeof line->error, "%s: %.200s", what, argument);  // cut, never overrun
}

// The option record field for `id`, and where a value goes.
int32_t* flag_of(CommandLine* line, OptionId id) {
    switch (id) {
        case OPTION_BATCH: return &line->batch;
        case OPTION_ALLOW_OLDER: return &line->allow_older;
        case OPTION_LIST: return &line->list;
        case OPTION_PORTS: return &line->ports;
        case OPTION_HELP: return &line->help;
        case OPTION_VERSION: return &line->version;
        case OPTION_ALLOW_UNSIGNED: return &line->allow_unsigned;
        case OPTION_IMAGE:
        case OPTION_REPORT:
        case OPTION_TRACE:
        case OPTION_SIGNATURE: break;
    }
    return nullptr;
}

// Where the value of an option that takes one goes.
const char** value_of(CommandLine* line, OptionId id) {
    if (id == OPTION_REPORT) return &line->report;
    if (id == OPTION_TRACE) return &line->trace;
    return id == OPTION_SIGNATURE ? &line->signature : &line->image;
}

// A port argument beside options: a whole number from 0 to 99, or a device
// path. Text that is no number would otherwise scan every port and update
// whatever device answers first, not the one the script named.
bool port_argument_fits(const char* argument) {
    if (port_argument_is_path(argument)) return true;
    uint32_t number = 0;
    size_t digits = 0;
    for (; argument[digits] >= '0' && argument[digits] <= '9' && digits < 3; ++digits) {
        number = number * 10u + static_cast<uint32_t>(argument[digits] - '0');
    }
    return digits > 0 && argument[digits] == '\0' && number <= 99u;
}

// Takes the option at argv[*at] (and its value, "--image FILE" or "--image=FILE").
void take_option(int argc, char** argv, int* at, CommandLine* line) {
    const char* argument = argv[*at];
    const char* name = argument + 2;
    const char* equals = std::strchr(name, '=');
    const size_t name_length = equals != nullptr ? static_cast<size_t>(equals - name) : std::strlen(name);
    for (const OptionRow& row : OPTIONS) {
        if (std::strlen(row.name) != name_length || std::strncmp(row.name, name, name_length) != 0) continue;
        if (!row.takes_value) {
            int32_t* flag = flag_of(line, row.id);
            if (equals != nullptr) return refuse(line, "this option takes no value", argument);
            if (*flag) return refuse(line, "option given twice", argument);
            *flag = 1;
            return;
        }
        const char* value = equals != nullptr ? equals + 1 : (*at + 1 < argc ? argv[++*at] : nullptr);
        if (value == nullptr) return refuse(line, "this option needs a value", argument);
        if (value[0] == '\0') return refuse(line, "this option needs a file name", argument);
        const char** slot = value_of(line, row.id);
        if (*slot != nullptr) return refuse(line, "option given twice", argument);
        *slot = value;
        return;
    }
    refuse(line, "unknown option", argument);
}

// Options that make no sense without, or beside, another.
void refuse_combinations(CommandLine* line) {
    if (line->allow_older && !line->batch) refuse(line, "this option needs --batch", "--allow-older");
    // The signature options speak of an image file; --allow-unsigned takes
    // an image that has no signature file, which a signature named is not.
    if (line->signature != nullptr && line->image == nullptr) refuse(line, "this option needs --image", "--signature");
    if (line->allow_unsigned && line->image == nullptr) refuse(line, "this option needs --image", "--allow-unsigned");
    if (line->allow_unsigned && line->signature != nullptr) {
        refuse(line, "this option cannot be used with --signature", "--allow-unsigned");
    }
    // --ports lists every port and opens none: a port to use, or a run
    // that updates, is no part of it.
    if (line->ports && line->port != nullptr) refuse(line, "this option takes no port argument", "--ports");
    if (line->ports && line->batch) refuse(line, "this option cannot be used with --batch", "--ports");
}

}  // namespace

void command_line_read(int argc, char** argv, CommandLine* line) {
    *line = CommandLine{};
    bool options = false;
    for (int i = 1; i < argc; ++i) options = options || starts_with_dashes(argv[i]);
    if (!options) {
        // As it always was: one port argument at most, without a word of why.
        if (argc > 2) line->usage_error = 1;
        line->port = argc == 2 ? argv[1] : nullptr;
        return;
    }
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        if (!options_ended && std::strcmp(argv[i], "--") == 0) {
            options_ended = true;  // as in every POSIX tool: what follows is no option
        } else if (!options_ended && starts_with_dashes(argv[i])) {
            take_option(argc, argv, &i, line);
        } else if (line->port != nullptr) {
            refuse(line, "more than one port argument", argv[i]);
        } else {
            line->port = argv[i];
        }
    }
    line->options = 1;
    if (line->port != nullptr && !port_argument_fits(line->port)) {
        refuse(line, "not a port number from 0 to 99 or a device path", line->port);
    }
    refuse_combinations(line);
}

void print_usage() {
    print_message("\nUse: OFWU [x]\n");
    print_message("\nWhere:");
    print_message("\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,");
    print_message("\n          otherwise searches COM1 - COM16.");
}

void print_help() {
    print_text("Use: ofwu [options] [x]\n"
               "\n"
               "   x    = Optional, If not 0, then this is a comport number between 1 and 99,\n"
               "          otherwise searches COM1 - COM16, then on Windows the other COM ports\n"
               "          the system lists, up to COM99. On Linux x may also be the port's\n"
               "          device path (/dev/ttyUSB0), and without it the ports the machine has\n"
               "          are searched.\n"
               "\n"
               "Options:\n"
               "  --batch         never read the keyboard: the update is made when it is newer,\n"
               "                  or when the device is in its bootloader; end without waiting,\n"
               "                  with one closing line and the exit status below\n"
               "  --allow-older   with --batch: flash an older image too\n"
               "  --image FILE    this run's catalogue is FILE instead of the built-in images\n"
               "                  (a file, a pipe or a FIFO), flashed only when FILE.sig holds\n"
               "                  the maker's signature of it (ofwu --version lists the keys)\n"
               "  --signature SIG the signature of the image file is SIG, not FILE.sig (a file,\n"
               "                  a pipe or a FIFO)\n"
               "  --allow-unsigned  take an image file that has no signature file, with a\n"
               "                  warning: for a maker's own development\n"
               "  --report FILE   append one JSON line about the run to FILE\n"
               "  --trace FILE    write every event on the serial line to FILE, with its time:\n"
               "                  the file to send to support when an update fails\n"
               "  --list          list the catalogue (or FILE, after checking it) and end\n"
               "  --ports         list the serial ports the machine has, in the order they are\n"
               "                  searched, and what is known of each; open none and end\n"
               "  --help          this text\n"
               "  --version       the program's version and its image signing keys\n"
               "\n"
               "Exit status with --batch:\n"
               "  0  the device runs the update's version (updated, or it already did)\n"
               "  2  usage error\n"
               "  3  no device found\n"
               "  4  a device answered, but no image fits it\n"
               "  5  update refused: the image is older (see --allow-older)\n"
               "  6  the update failed; a new run completes it\n"
               "  7  the restarted device did not announce the update's version\n"
               "  8  the image file is missing, unreadable or invalid\n"
               "  9  the one port named is in use by another program\n"
               " 10  the image file is not signed by the maker\n"
               "Without --batch the exit status is 1; --help, --version, --list and --ports end\n"
               "with 0.\n");
}
