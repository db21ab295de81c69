// Child processes for the end-to-end harness: start with chosen standard
// streams and environment, wait with a limit, stop the whole group.
#ifndef OFWU_TESTS_E2E_PROCESS_H
#define OFWU_TESTS_E2E_PROCESS_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct ChildPlan {
    std::vector<std::string> argv;                          // argv[0] is the program's path
    std::vector<std::pair<std::string, std::string>> env;   // set in the child; empty value unsets; later wins
    int stdin_fd = -1;                                      // -1: /dev/null
    int stdout_fd = -1;                                     // -1: /dev/null
    int stderr_fd = -1;                                     // -1: /dev/null
};

// Starts the child in a process group of its own; -1 when it cannot be made.
pid_t child_start(const ChildPlan& plan);
// Waits up to `limit_ms` for the child. True when it ended; *status is its
// exit status, or 128 + the signal that ended it.
bool child_wait(pid_t pid, uint32_t limit_ms, int* status);
// Sends `signal_number` to the child's whole group.
void child_signal(pid_t pid, int signal_number);
// SIGTERM, up to `grace_ms` to end, then SIGKILL; the child's exit status.
int child_stop(pid_t pid, uint32_t grace_ms);
// Runs a program to its end (killed after `limit_ms`): its exit status, or -1.
int child_run(const std::vector<std::string>& argv, uint32_t limit_ms,
              const std::vector<std::pair<std::string, std::string>>& env = {});

std::string file_text(const std::string& path);
bool path_exists(const std::string& path);     // also a dangling link
double now_ms();
// Waits up to `limit_ms` for `path` to hold some text.
bool wait_for_file(const std::string& path, uint32_t limit_ms);
// Times `text` stands in `s`.
size_t occurrences(const std::string& s, const std::string& text);

// A tmux server with one session on a socket in `folder`: a real terminal for
// a program, keys typed into it, and what it shows. The server is killed
// when this goes away.
class Tmux {
public:
    explicit Tmux(const std::string& folder, std::vector<std::pair<std::string, std::string>> env = {});
    ~Tmux();
    Tmux(const Tmux&) = delete;
    Tmux& operator=(const Tmux&) = delete;

    // Starts the session running `command` (a shell command line).
    bool start(const std::string& command, uint32_t columns = 200, uint32_t rows = 50);
    void type(const std::string& text);   // typed as it stands
    void key(const std::string& name);    // a key by tmux's name: Enter, C-c, Up, C-z
    void line(const std::string& text);   // typed, then Enter
    // What the pane shows, history included, with wrapped lines joined.
    std::string screen();
    // Waits until `pred` holds for the screen; false after `limit_ms`.
    bool wait_for(const std::function<bool(const std::string&)>& pred, uint32_t limit_ms);
    bool wait_for_text(const std::string& text, size_t times, uint32_t limit_ms);

private:
    bool run(std::vector<std::string> args);
    std::string socket_;
    std::string folder_;
    std::vector<std::pair<std::string, std::string>> env_;
};

#endif
