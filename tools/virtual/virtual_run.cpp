// e2e_run on the virtual clock: each run is a forked child that sets the
// world up (virtual_world.h) and runs the program's own program_main, so the
// program's exits stay real; the child's results come back through files.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include <nlohmann/json.hpp>

#include "control/program.h"
#include "e2e_process.h"
#include "virtual_world.h"

namespace {

constexpr unsigned REAL_SECONDS_MAX = 60;  // a child that takes this long has stopped moving

ssize_t capture_write(void*, const char* text, size_t size) {
    world_output(text, size);
    return static_cast<ssize_t>(size);
}

bool in_child = false;

// With OFWU_VIRTUAL_TRANSCRIPT set, every run's command line, output with
// the time of each write, exit status and device reports are appended to
// that file, the names of temporary folders made alike: two runs of the
// suite give the same file.
void keep_transcript(const RunPlan& plan, const RunResult& result) {
    const char* path = std::getenv("OFWU_VIRTUAL_TRANSCRIPT");
    if (path == nullptr || path[0] == '\0') return;
    std::ostringstream text;
    text << "== ofwu";
    for (const std::string& a : plan.args) text << " " << a;
    text << "\nexit " << result.exit_status << " at " << result.elapsed_ms << " ms\n";
    for (const OutputWrite& w : result.writes) text << w.t_ms << " @" << w.offset << "\n";
    text << result.output << "\n";
    for (const DeviceOutcome& d : result.devices) text << d.report_text;
    static const std::regex temporary("ofwu-e2e-[A-Za-z0-9]{6}");
    std::ofstream(path, std::ios::app | std::ios::binary) << std::regex_replace(text.str(), temporary, "ofwu-e2e-XXXXXX");
}

[[noreturn]] void run_child(const RunPlan& plan, const std::string& folder) {
    std::string error;
    if (!world_start(plan, folder, &error)) {
        std::ofstream(folder + "/error.txt") << error;
        _exit(2);
    }
    for (const auto& [name, value] : plan.env) {
        if (value.empty()) unsetenv(name.c_str());
        else setenv(name.c_str(), value.c_str(), 1);
    }
    // Standard output goes to the world, with the time of each write.
    static const cookie_io_functions_t capture = {nullptr, capture_write, nullptr, nullptr};
    stdout = fopencookie(nullptr, "w", capture);
    if (stdout == nullptr) _exit(3);
    in_child = true;
    // As the user nobody: the results folder is open to all for it.
    if (plan.as_nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(4);
    alarm(REAL_SECONDS_MAX);
    std::vector<std::string> args = {"ofwu"};
    args.insert(args.end(), plan.args.begin(), plan.args.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    program_main(static_cast<int>(args.size()), argv.data());
}

}  // namespace

// The program's exits end the child here (the test program links with
// --wrap=exit): the results are written and the child ends at once, so
// that nothing of the test's own process (its temporary folders, its
// statics) is torn down in the child.
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (!in_child) __real_exit(status);
    (void)std::fflush(stdout);
    world_finish(false);
    _exit(status);
}

RunResult e2e_run(const RunPlan& plan) {
    RunResult result;
    TempFolder folder;
    if (folder.path.empty()) {
        result.error = "cannot make a temporary folder";
        return result;
    }
    if (plan.as_nobody) (void)chmod(folder.path.c_str(), 0777);
    // What the test has buffered must not be written again by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        result.error = "fork failed";
        return result;
    }
    if (pid == 0) run_child(plan, folder.path);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    const std::string error = file_text(folder.path + "/error.txt");
    if (!error.empty()) {
        result.error = error;
        return result;
    }
    if (WIFSIGNALED(status)) {
        result.error = "the run ended by signal " + std::to_string(WTERMSIG(status));
        return result;
    }
    result.exit_status = WEXITSTATUS(status);
    result.output = file_text(folder.path + "/" + WORLD_OUTPUT_FILE);
    std::istringstream meta(file_text(folder.path + "/" + WORLD_META_FILE));
    uint64_t end_us = 0;
    int timed_out = 0;
    meta >> end_us >> result.keys_sent >> timed_out;
    result.timed_out = timed_out != 0;
    if (result.timed_out) result.exit_status = -1;
    result.elapsed_ms = static_cast<double>(end_us) / 1000.0;
    result.end_unix_ms = result.elapsed_ms;  // the devices' clock starts with the program's
    std::istringstream times(file_text(folder.path + "/" + WORLD_TIMES_FILE));
    uint64_t at_us = 0;
    size_t offset = 0;
    while (times >> at_us >> offset) result.writes.push_back({static_cast<double>(at_us) / 1000.0, offset});
    for (size_t i = 0; i < plan.devices.size(); ++i) {
        DeviceOutcome d;
        d.com = plan.devices[i].com;
        d.report_text = file_text(folder.path + "/" + world_device_file(i, "json"));
        auto parsed = std::make_shared<nlohmann::json>(nlohmann::json::parse(d.report_text, nullptr, false));
        if (parsed->is_discarded()) *parsed = nullptr;
        d.report = parsed;
        d.log = file_text(folder.path + "/" + world_device_file(i, "log"));
        d.exit_status = std::atoi(file_text(folder.path + "/" + world_device_file(i, "status")).c_str());
        result.devices.push_back(d);
    }
    keep_transcript(plan, result);
    return result;
}
