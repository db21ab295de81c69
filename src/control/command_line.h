// The command line: `ofwu [options] [x]`. Options are the arguments that
// begin with "--", up to an argument "--" that ends them; without any, the
// arguments are read exactly as they always were (one port argument; a
// second one is a usage error).
#ifndef OFWU_CONTROL_COMMAND_LINE_H
#define OFWU_CONTROL_COMMAND_LINE_H

#include <cstdint>

constexpr uint32_t COMMAND_LINE_ERROR_SIZE = 256;

struct CommandLine {
    int32_t batch;          // --batch
    int32_t allow_older;    // --allow-older
    int32_t list;           // --list
    int32_t help;           // --help
    int32_t version;        // --version
    int32_t ports;          // --ports
    const char* image;      // --image FILE; nullptr when not given
    const char* report;     // --report FILE; nullptr when not given
    const char* trace;      // --trace FILE; nullptr when not given
    const char* signature;  // --signature SIG; nullptr: FILE.sig beside the image
    int32_t allow_unsigned; // --allow-unsigned: an image without a signature file is taken
    int32_t options;        // any option was given: the port argument is read strictly
    const char* port;       // the port argument; nullptr when there is none
    int32_t usage_error;    // the arguments cannot be used: the usage text is printed
    char error[COMMAND_LINE_ERROR_SIZE];  // what is wrong, for the line before it; empty without options
};

// Reads argv into `line`.
void command_line_read(int argc, char** argv, CommandLine* line);

// The usage text of the program without options, as it always was.
void print_usage();
// The usage text with the options and the exit statuses of --batch.
void print_help();

#endif
