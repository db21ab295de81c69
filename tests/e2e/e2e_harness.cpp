#include "e2e_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "e2e_process.h"

namespace {

constexpr uint32_t LINK_WAIT_MS = 10000;      // devsim makes its link at once; allow a loaded machine
constexpr uint32_t DEVSIM_GRACE_MS = 3000;    // time to write the report after SIGTERM
constexpr uint32_t EXTRA_IDLE_MS = 10000;     // devsim outlives a run by this much at most
constexpr uint32_t PREFIX_LIMIT_MS = 300000;  // a fresh Wine prefix takes a while

std::string env_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : fallback;
}

double unix_ms() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count()) / 1000.0;
}

// Key steps whose text has appeared get their keys, each step once, in order.
struct KeyFeeder {
    const std::vector<KeyStep>* steps;
    size_t next = 0;
    size_t search_from = 0;
    double seen_at = -1;   // when the next step's text appeared; -1: not yet
};

// The keys that are due for `output`, in order; moves the feeder on.
std::string due_keys(KeyFeeder* feeder, const std::string& output) {
    std::string keys;
    while (feeder->next < feeder->steps->size()) {
        const KeyStep& step = (*feeder->steps)[feeder->next];
        const size_t at = output.find(step.after, feeder->search_from);
        if (at == std::string::npos) break;
        if (feeder->seen_at < 0) feeder->seen_at = now_ms();
        if (now_ms() < feeder->seen_at + step.delay_ms) break;
        keys += step.keys;
        feeder->search_from = at + step.after.size();
        feeder->next += 1;
        feeder->seen_at = -1;
    }
    return keys;
}

std::vector<std::string> devsim_args(const RunPlan& plan, const DevicePlan& device) {
    // The harness's own idle limit comes first, so a test's --idle-timeout wins.
    std::vector<std::string> args = {"--idle-timeout", std::to_string(plan.timeout_ms + EXTRA_IDLE_MS)};
    args.insert(args.end(), device.args.begin(), device.args.end());
    return args;
}

bool start_devices(const RunPlan& plan, const std::string& folder, const std::string& link_format,
                   std::vector<DevsimProcess>* running, std::string* error) {
    for (const DevicePlan& device : plan.devices) {
        char link[512];
        std::snprintf(link, sizeof link, link_format.c_str(), device.com);
        running->emplace_back();
        const std::string at = device.link.empty() ? std::string(link) : device.link;
        if (!devsim_start(at, folder, device.com, devsim_args(plan, device), &running->back(), error)) {
            running->pop_back();
            return false;
        }
    }
    return true;
}

void stop_devices(std::vector<DevsimProcess>* running, RunResult* result) {
    for (DevsimProcess& process : *running) result->devices.push_back(devsim_stop(&process));
    running->clear();
}

// Reads what the program wrote; false once the pipe is closed.
bool read_output(int fd, uint32_t wait_ms, std::string* output) {
    pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(wait_ms)) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) output->append(buffer, static_cast<size_t>(n));
    return n > 0 || (n < 0 && errno == EINTR);
}

void write_all(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) return;  // the program has gone: its exit status tells the rest
        sent += static_cast<size_t>(n);
    }
}

// Feeds keys and collects output until the program ends or the time is up.
void watch_native(const RunPlan& plan, pid_t pid, int out_fd, int in_fd, RunResult* result) {
    const double end = now_ms() + plan.timeout_ms;
    KeyFeeder feeder{&plan.keys};
    bool open = true;
    while (now_ms() < end) {
        if (open) open = read_output(out_fd, 20, &result->output);
        const std::string keys = due_keys(&feeder, result->output);
        if (!keys.empty()) write_all(in_fd, keys);
        if (child_wait(pid, open ? 0 : 20, &result->exit_status)) {
            result->end_unix_ms = unix_ms();
            while (read_output(out_fd, 0, &result->output)) {
            }
            result->keys_sent = feeder.next;
            return;
        }
    }
    result->timed_out = true;
    result->keys_sent = feeder.next;
    result->exit_status = -1;
    (void)child_stop(pid, 500);  // past the hard limit: only stopping it matters now
}

void run_native(const RunPlan& plan, const std::string& folder, RunResult* result) {
    const std::string com_dir = folder + "/com";
    (void)mkdir(com_dir.c_str(), 0700);  // a failure shows as devices that cannot start
    std::vector<DevsimProcess> running;
    if (!start_devices(plan, folder, com_dir + "/COM%u", &running, &result->error)) {
        stop_devices(&running, result);
        return;
    }
    int in_pipe[2];
    int out_pipe[2];
    // pipe: 0 on success, -1 on failure.
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
        result->error = "pipe failed";
        stop_devices(&running, result);
        return;
    }
    (void)signal(SIGPIPE, SIG_IGN);  // a key written after the program ended must not kill the test
    const std::string lock_dir = folder + "/lock";
    (void)mkdir(lock_dir.c_str(), 0755);  // a failure shows as a run without lock files
    ChildPlan child;
    child.argv = plan.launcher;
    if (plan.as_nobody) {
        const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
        child.argv.insert(child.argv.begin(), nobody.begin(), nobody.end());
    }
    child.argv.push_back(e2e_program_path());
    child.argv.insert(child.argv.end(), plan.args.begin(), plan.args.end());
    child.env = {{"OFWU_COM_DIR", com_dir}, {"OFWU_LOCK_DIR", lock_dir}};
    child.env.insert(child.env.end(), plan.env.begin(), plan.env.end());
    child.stdin_fd = in_pipe[0];
    child.stdout_fd = out_pipe[1];
    const int err_fd = open((folder + "/program.err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    child.stderr_fd = err_fd;
    const pid_t pid = child_start(child);
    for (int fd : {in_pipe[0], out_pipe[1], err_fd}) (void)close(fd);  // the child holds its copies
    if (pid < 0) result->error = "cannot start " + child.argv[0];
    else watch_native(plan, pid, out_pipe[0], in_pipe[1], result);
    (void)close(in_pipe[1]);
    (void)close(out_pipe[0]);
    stop_devices(&running, result);
}

std::string shell_quote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string normalise_newlines(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

std::string wine_prefix() {
    return env_or("OFWU_WINEPREFIX", env_or("TMPDIR", "/tmp") + "/ofwu-wineprefix-" + std::to_string(getuid()));
}

std::vector<std::pair<std::string, std::string>> wine_env(const std::string& prefix) {
    return {{"WINEPREFIX", prefix}, {"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "mscoree,mshtml="},
            {"DISPLAY", ""}};
}

// `wine reg` with each of `commands`, one after the other, their output
// in reg.txt.
std::string wine_reg_commands(const std::vector<std::vector<std::string>>& commands) {
    std::string text;
    for (const std::vector<std::string>& command : commands) {
        text += "wine reg";
        for (const std::string& arg : command) text += " " + shell_quote(arg);
        text += " >>reg.txt 2>&1; ";
    }
    return text;
}

// The shell command of the tmux session: the prefix's list of COM ports
// emptied and the plan's registry commands, the program with its output in
// a file, the registry commands after it, then the program's exit status in
// another file (written aside and renamed). One shell runs them all, so the
// Wine server, and the list it holds only in memory, lasts from the first
// to the last.
std::string wine_command(const RunPlan& plan, const std::string& folder) {
    std::string command = "cd " + shell_quote(folder) + " && " +
                          wine_reg_commands({{"delete", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM", "/va", "/f"}}) +
                          wine_reg_commands(plan.wine_reg_before) + "wine " + shell_quote(e2e_windows_program_path());
    for (const std::string& arg : plan.args) command += " " + shell_quote(arg);
    return command + " >out.txt 2>err.txt; echo $? >rc.part; " + wine_reg_commands(plan.wine_reg_after) +
           "mv rc.part rc.txt";
}

void watch_wine(const RunPlan& plan, const std::string& folder, Tmux* tmux, RunResult* result) {
    const double end = now_ms() + plan.timeout_ms;
    KeyFeeder feeder{&plan.keys};
    while (now_ms() < end) {
        result->output = normalise_newlines(file_text(folder + "/out.txt"));
        const std::string keys = due_keys(&feeder, result->output);
        if (!keys.empty()) tmux->type(keys);
        result->keys_sent = feeder.next;
        if (path_exists(folder + "/rc.txt")) {
            result->end_unix_ms = unix_ms();
            result->exit_status = std::atoi(file_text(folder + "/rc.txt").c_str());
            result->output = normalise_newlines(file_text(folder + "/out.txt"));
            return;
        }
        usleep(20000);
    }
    result->timed_out = true;
}

// Where COMn of the prefix leads. Wine relinks dosdevices/comN to the
// machine's own serial devices when it starts, unless the prefix declares
// its ports: a prefix made that way leads COMn to ofwu-com/COMn, which stays.
std::string wine_com_link_format(const std::string& prefix) {
    if (path_exists(prefix + "/ofwu-com")) return prefix + "/ofwu-com/COM%u";
    return prefix + "/dosdevices/com%u";
}

bool prepare_prefix(const std::string& prefix, std::string* error) {
    const std::string script = std::string(OFWU_SOURCE_DIR) + "/tests/wine/prepare_prefix.sh";
    const int status = child_run({"/bin/sh", script}, PREFIX_LIMIT_MS, {{"OFWU_WINEPREFIX", prefix}});
    if (status != 0) *error = "cannot prepare the Wine prefix " + prefix;
    return status == 0;
}

void run_wine(const RunPlan& plan, const std::string& folder, RunResult* result) {
    const std::string prefix = wine_prefix();
    if (!prepare_prefix(prefix, &result->error)) return;
    // One Wine run at a time in the prefix: its COM links are shared.
    const int lock = open((prefix + "/.ofwu-e2e.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        result->error = "cannot lock the Wine prefix";
        if (lock >= 0) (void)close(lock);
        return;
    }
    std::vector<DevsimProcess> running;
    if (start_devices(plan, folder, wine_com_link_format(prefix), &running, &result->error)) {
        {
            Tmux tmux(folder, wine_env(prefix));
            if (!tmux.start(wine_command(plan, folder), 160, 50)) result->error = "tmux could not start the program";
            else watch_wine(plan, folder, &tmux, result);
        }
        if (result->timed_out) (void)child_run({"/bin/sh", "-c", "wineserver -k"}, 10000, wine_env(prefix));
    }
    stop_devices(&running, result);
    (void)close(lock);  // also releases the lock
}

}  // namespace

std::string e2e_program_path() {
    return OFWU_PROGRAM;
}

std::string e2e_devsim_path() {
    return OFWU_DEVSIM;
}

std::string e2e_windows_program_path() {
    return env_or("OFWU_WINDOWS_EXE", std::string(OFWU_SOURCE_DIR) + "/build-windows/ofwu.exe");
}

std::string e2e_missing_program(const char* path) {
    return access(path, X_OK) == 0 ? "" : std::string(path) + " is not installed";
}

std::string e2e_wine_missing() {
    const std::string missing = e2e_missing_program("/usr/bin/wine") + e2e_missing_program("/usr/bin/tmux");
    if (!missing.empty()) return missing;
    if (access(e2e_windows_program_path().c_str(), R_OK) != 0) return e2e_windows_program_path() + " is not built";
    return "";
}

namespace {

// Reads devsim's first line, "LINK -> PTY", which it writes once its link
// stands. False when it ends first or takes longer than LINK_WAIT_MS.
bool await_ready_line(int fd, std::string* line) {
    const double end = now_ms() + LINK_WAIT_MS;
    while (now_ms() < end && line->find('\n') == std::string::npos) {
        if (!read_output(fd, 20, line)) return false;  // its output closed: it has ended
    }
    return line->find('\n') != std::string::npos;
}

}  // namespace

bool devsim_start(const std::string& link, const std::string& folder, uint32_t com,
                  const std::vector<std::string>& args, DevsimProcess* process, std::string* error) {
    process->com = com;
    process->link = link;
    process->report_path = folder + "/devsim-com" + std::to_string(com) + ".json";
    process->log_path = folder + "/devsim-com" + std::to_string(com) + ".log";
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {  // 0 on success, -1 on failure
        *error = "pipe failed";
        return false;
    }
    ChildPlan child;
    child.argv = {e2e_devsim_path(), "--link", link, "--report", process->report_path};
    child.argv.insert(child.argv.end(), args.begin(), args.end());
    child.stdout_fd = ready[1];
    child.stderr_fd = open(process->log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    process->pid = child_start(child);
    for (const int fd : {ready[1], child.stderr_fd}) (void)close(fd);  // the child has its own copies
    std::string line;
    const bool stands = process->pid > 0 && await_ready_line(ready[0], &line);
    (void)close(ready[0]);  // devsim writes nothing more there
    if (stands) return true;
    if (process->pid > 0) (void)child_stop(process->pid, DEVSIM_GRACE_MS);  // it failed; its status adds nothing
    process->pid = -1;
    *error = "devsim did not stand at " + link + ": " + file_text(process->log_path);
    return false;
}

DeviceOutcome devsim_wait(DevsimProcess* process, uint32_t limit_ms) {
    DeviceOutcome outcome;
    outcome.com = process->com;
    if (process->pid > 0 && !child_wait(process->pid, limit_ms, &outcome.exit_status)) {
        outcome.exit_status = child_stop(process->pid, DEVSIM_GRACE_MS);
    }
    process->pid = -1;
    outcome.report_text = file_text(process->report_path);
    // A missing or broken report stays a null value, which every reader takes as empty.
    auto parsed = std::make_shared<nlohmann::json>(nlohmann::json::parse(outcome.report_text, nullptr, false));
    if (parsed->is_discarded()) *parsed = nullptr;
    outcome.report = parsed;
    outcome.log = file_text(process->log_path);
    outcome.link_left = path_exists(process->link);
    // A devsim that had to be killed cannot remove its link: do it for it.
    if (outcome.link_left) (void)unlink(process->link.c_str());
    return outcome;
}

DeviceOutcome devsim_stop(DevsimProcess* process) {
    if (process->pid > 0) child_signal(process->pid, SIGTERM);
    return devsim_wait(process, DEVSIM_GRACE_MS);
}

RunResult e2e_run(const RunPlan& plan) {
    RunResult result;
    const double start = now_ms();
    TempFolder folder;
    if (folder.path.empty()) {
        result.error = "cannot make a temporary folder";
        return result;
    }
    if (plan.wine) run_wine(plan, folder.path, &result);
    else run_native(plan, folder.path, &result);
    result.elapsed_ms = now_ms() - start;
    return result;
}

