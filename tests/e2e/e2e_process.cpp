#include "e2e_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

// The child's environment: this process's, with the plan's changes (an empty
// value removes the name; of two changes of one name the later wins). Built before fork, because tests start children
// from several threads at once, and in a child of a threaded process only
// async-signal-safe calls are safe until exec: another thread may have held
// the allocator's or the environment's lock at the moment of the fork.
std::vector<std::string> child_environment(const ChildPlan& plan) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& change : plan.env) replaced = replaced || change.first == name;
        if (!replaced) entries.push_back(text);
    }
    for (size_t i = 0; i < plan.env.size(); ++i) {
        bool overridden = false;  // a later change of the same name wins
        for (size_t j = i + 1; j < plan.env.size(); ++j) overridden = overridden || plan.env[j].first == plan.env[i].first;
        if (!overridden && !plan.env[i].second.empty()) entries.push_back(plan.env[i].first + "=" + plan.env[i].second);
    }
    return entries;
}

// In the child, between fork and exec: async-signal-safe calls only.
void become_child(const ChildPlan& plan, char* const* argv, char* const* envp) {
    (void)setpgid(0, 0);  // own group, so stopping it stops its children too
    const int null_fd = open("/dev/null", O_RDWR);
    const int fds[3] = {plan.stdin_fd, plan.stdout_fd, plan.stderr_fd};
    for (int target = 0; target < 3; ++target) (void)dup2(fds[target] >= 0 ? fds[target] : null_fd, target);
    execve(argv[0], argv, envp);
    _exit(127);  // exec failed: the status says so
}

int decode_status(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

}  // namespace

pid_t child_start(const ChildPlan& plan) {
    std::vector<char*> argv;
    for (const std::string& arg : plan.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::vector<std::string> environment = child_environment(plan);
    std::vector<char*> envp;
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) become_child(plan, argv.data(), envp.data());
    if (pid > 0) (void)setpgid(pid, pid);  // also here, so the group exists before any signal
    return pid;
}

bool child_wait(pid_t pid, uint32_t limit_ms, int* status) {
    const double end = now_ms() + limit_ms;
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(pid, &raw, WNOHANG);
        if (done == pid) {
            *status = decode_status(raw);
            return true;
        }
        if (done < 0 || now_ms() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void child_signal(pid_t pid, int signal_number) {
    if (pid > 0) (void)kill(-pid, signal_number);  // the group may already be gone
}

int child_stop(pid_t pid, uint32_t grace_ms) {
    int status = -1;
    child_signal(pid, SIGTERM);
    if (child_wait(pid, grace_ms, &status)) return status;
    child_signal(pid, SIGKILL);
    (void)child_wait(pid, 5000, &status);
    return status;
}

int child_run(const std::vector<std::string>& argv, uint32_t limit_ms,
              const std::vector<std::pair<std::string, std::string>>& env) {
    ChildPlan plan;
    plan.argv = argv;
    plan.env = env;
    const pid_t pid = child_start(plan);
    if (pid < 0) return -1;
    int status = -1;
    if (child_wait(pid, limit_ms, &status)) return status;
    (void)child_stop(pid, 1000);  // overran its limit: whatever it ends with does not count
    return -1;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool path_exists(const std::string& path) {
    struct stat info{};
    return lstat(path.c_str(), &info) == 0;
}

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

bool wait_for_file(const std::string& path, uint32_t limit_ms) {
    const double end = now_ms() + limit_ms;
    while (now_ms() < end) {
        if (!file_text(path).empty()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

size_t occurrences(const std::string& s, const std::string& text) {
    size_t count = 0;
    for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1)) ++count;
    return count;
}

Tmux::Tmux(const std::string& folder, std::vector<std::pair<std::string, std::string>> env)
    : socket_(folder + "/tmux.sock"), folder_(folder), env_(std::move(env)) {
    env_.emplace_back("TMUX", "");  // never a session inside the caller's own tmux
}

Tmux::~Tmux() {
    (void)run({"kill-server"});  // nothing left to do if it is gone already
}

bool Tmux::run(std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/tmux", "-S", socket_});
    return child_run(args, 5000, env_) == 0;
}

bool Tmux::start(const std::string& command, uint32_t columns, uint32_t rows) {
    return run({"new-session", "-d", "-s", "ofwu", "-x", std::to_string(columns), "-y", std::to_string(rows),
                command});
}

void Tmux::type(const std::string& text) {
    (void)run({"send-keys", "-t", "ofwu", "-l", text});  // a gone session shows in what the test reads next
}

void Tmux::key(const std::string& name) {
    (void)run({"send-keys", "-t", "ofwu", name});
}

void Tmux::line(const std::string& text) {
    type(text);
    key("Enter");
}

std::string Tmux::screen() {
    const std::string file = folder_ + "/screen.txt";
    (void)child_run({"/bin/sh", "-c",
                     "/usr/bin/tmux -S '" + socket_ + "' capture-pane -p -J -S -2000 -t ofwu > '" + file + "'"},
                    5000, env_);
    return file_text(file);
}

bool Tmux::wait_for(const std::function<bool(const std::string&)>& pred, uint32_t limit_ms) {
    const double end = now_ms() + limit_ms;
    while (now_ms() < end) {
        if (pred(screen())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool Tmux::wait_for_text(const std::string& text, size_t times, uint32_t limit_ms) {
    return wait_for([&](const std::string& s) { return occurrences(s, text) >= times; }, limit_ms);
}
