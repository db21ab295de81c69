// The far end of a serial line: a pseudo-terminal whose slave the
// program opens through a symlink, like a COM port. devsim plays a device on
// it; the serial tests' scripted peer (tests/peer/ptypeer) plays a script.
#ifndef OFWU_TOOLS_PTY_LINE_H
#define OFWU_TOOLS_PTY_LINE_H

#include <cstdint>
#include <string>

// The slave is opened only to be set up: the program must be the one
// program that has it open, as it would be with a real port. While the
// program has it closed, the master reads as hung up (poll reports POLLHUP,
// read fails with EIO); what is written to the master meanwhile waits for
// the program, and the line settings stay as they were.
struct PtyLine {
    int master = -1;
    std::string slave_name;    // /dev/pts/N
    std::string link;          // the symlink that publishes the slave
    uint32_t first_baud = 0;   // the rate before the link existed, so before any program
};

// Opens a pty, sets its slave raw and links it at `link` (replacing a stale
// link, never a file). False with a reason on failure.
bool pty_line_open(PtyLine* line, const std::string& link, std::string* error);
// The rate the program has set on the slave, in baud; 0 when unknown. The
// master and the slave share one set of line settings.
uint32_t pty_line_baud(const PtyLine& line);
// Closes the master and removes the link if it still points at this pty.
void pty_line_close(PtyLine* line);

// Microseconds each byte takes on a line at `baud`: 10 bit-times (start bit,
// 8 data bits, stop bit).
uint64_t byte_time_us(uint32_t baud);

#endif
