// A scripted peer on a pseudo-terminal, for tests of the serial port code.
//
//   ptypeer --serve DIR --link-pattern PATTERN
//
// Watches DIR for request files NAME.req (written by the test program, which
// may be a Windows program under Wine). Each request is:
//
//   com <n>
//   <script line>...
//
// For each request a child process makes a pty (tools/pty), links its slave
// at PATTERN with %u replaced by n, writes NAME.ready and runs the script
// against the master. Then it keeps reading what the program sends
// until NAME.done appears, and writes NAME.result:
//
//   status ok | status fail <reason>
//   rx <baud> <hex bytes>      one line per run of bytes read at one line rate
//
// Script lines (all waits in milliseconds):
//   expect <hex>...      the next bytes must be these, within 5000 ms
//   expect_text <text>   the same for text (\xHH escapes allowed)
//   recv <n>             read n bytes, whatever they are
//   send <hex>...        write bytes
//   send_text <text>     write text (\xHH escapes allowed)
//   trickle <hex> <n> <ms>  write the byte n times, ms apart
//   repeat <for> <ms> <hex>...  write the bytes again and again, ms apart,
//                        for `for` ms (0: until the program closes the line)
//   sleep <ms>
//   quiet <ms>           no byte may arrive for this long
//   wait_rate <baud>     the program must set this line rate within 5000 ms
//   hangup               close the pty and remove the link (an unplugged device)
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pty_line.h"

namespace {

constexpr int DEFAULT_WAIT_MS = 5000;
constexpr int DONE_WAIT_MS = 60000;

long now_ms() {
    using namespace std::chrono;
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

struct Session {
    PtyLine line;
    std::string failure;
    // Runs of received bytes, each with the rate the line had when they came.
    std::vector<std::pair<unsigned, std::string>> rx;
    std::string done_path;  // appears when the test is over
};

void log_rx(Session& s, unsigned char byte) {
    const unsigned rate = pty_line_baud(s.line);
    if (s.rx.empty() || s.rx.back().first != rate) s.rx.push_back({rate, std::string()});
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", byte);
    s.rx.back().second += hex;
}

// Reads one byte within `wait_ms`; -1 when none came.
int read_byte(Session& s, int wait_ms) {
    if (s.line.master < 0) return -1;
    const long deadline = now_ms() + wait_ms;
    for (;;) {
        const long left = deadline - now_ms();
        pollfd p{s.line.master, POLLIN, 0};
        const int n = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n > 0 && (p.revents & POLLIN)) {
            unsigned char byte = 0;
            if (read(s.line.master, &byte, 1) == 1) {
                log_rx(s, byte);
                return byte;
            }
        }
        if (left <= 0) return -1;
        if (n > 0) {
            // POLLHUP while the program has the line closed: wait a little.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

bool parse_hex(const std::string& words, std::string* out) {
    std::istringstream in(words);
    std::string word;
    while (in >> word) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(word.c_str(), &end, 16);
        if (*end != '\0' || v > 0xFF) return false;
        out->push_back(static_cast<char>(v));
    }
    return true;
}

std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            out.push_back(static_cast<char>(std::strtoul(text.substr(i + 2, 2).c_str(), nullptr, 16)));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

void fail(Session& s, const std::string& why) {
    if (s.failure.empty()) s.failure = why;
}

void send_bytes(Session& s, const std::string& bytes) {
    if (s.line.master < 0) return fail(s, "send after hangup");
    if (write(s.line.master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) fail(s, "write failed");
}

bool exists(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

// Whether the program has closed its end of the line (or the test is over).
bool line_closed(const Session& s) {
    pollfd p{s.line.master, 0, 0};
    return s.line.master < 0 || (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP)) || exists(s.done_path);
}

// Writes `bytes`, waiting for room while the program is slower to read
// than the peer to write; gives up when the program has closed the line.
void send_when_room(Session& s, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size() && !line_closed(s)) {
        const ssize_t n = write(s.line.master, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && errno != EWOULDBLOCK) {
            return fail(s, "write failed");
        } else {
            pollfd p{s.line.master, POLLOUT, 0};
            (void)poll(&p, 1, 10);
        }
    }
}

void expect_bytes(Session& s, const std::string& bytes, const std::string& line) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int b = read_byte(s, DEFAULT_WAIT_MS);
        if (b < 0) return fail(s, "timed out at byte " + std::to_string(i) + " of: " + line);
        if (static_cast<unsigned char>(bytes[i]) != b) {
            char got[8];
            std::snprintf(got, sizeof got, "%02X", b);
            return fail(s, "got " + std::string(got) + " at byte " + std::to_string(i) + " of: " + line);
        }
    }
}

void run_line(Session& s, const std::string& line) {
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    std::string bytes;
    if (verb == "expect" || verb == "send") {
        if (!parse_hex(rest, &bytes)) return fail(s, "bad hex: " + line);
        if (verb == "expect") return expect_bytes(s, bytes, line);
        return send_bytes(s, bytes);
    }
    if (verb == "expect_text") return expect_bytes(s, unescape(rest), line);
    if (verb == "send_text") return send_bytes(s, unescape(rest));
    if (verb == "recv") {
        const long n = std::atol(rest.c_str());
        for (long i = 0; i < n; ++i) {
            if (read_byte(s, DEFAULT_WAIT_MS) < 0) return fail(s, "timed out in: " + line);
        }
        return;
    }
    if (verb == "trickle") {
        unsigned byte = 0;
        long count = 0;
        long gap = 0;
        if (std::sscanf(rest.c_str(), "%x %ld %ld", &byte, &count, &gap) != 3) return fail(s, "bad trickle: " + line);
        for (long i = 0; i < count && s.failure.empty(); ++i) {
            send_bytes(s, std::string(1, static_cast<char>(byte)));
            std::this_thread::sleep_for(std::chrono::milliseconds(gap));
        }
        return;
    }
    if (verb == "repeat") {
        std::istringstream in(rest);
        long for_ms = 0;
        long gap = 0;
        std::string hex;
        if (!(in >> for_ms >> gap) || !std::getline(in, hex) || !parse_hex(hex, &bytes) || bytes.empty()) {
            return fail(s, "bad repeat: " + line);
        }
        const long until = now_ms() + for_ms;
        while ((for_ms == 0 || now_ms() < until) && !line_closed(s) && s.failure.empty()) {
            send_when_room(s, bytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(gap));
        }
        return;
    }
    if (verb == "sleep") {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(rest.c_str())));
        return;
    }
    if (verb == "quiet") {
        const long until = now_ms() + std::atol(rest.c_str());
        while (now_ms() < until) {
            if (read_byte(s, static_cast<int>(until - now_ms())) >= 0) return fail(s, "byte during: " + line);
        }
        return;
    }
    if (verb == "wait_rate") {
        const unsigned want = static_cast<unsigned>(std::atol(rest.c_str()));
        const long until = now_ms() + DEFAULT_WAIT_MS;
        while (pty_line_baud(s.line) != want) {
            if (now_ms() > until) return fail(s, "rate " + std::to_string(pty_line_baud(s.line)) + " in: " + line);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return;
    }
    if (verb == "hangup") return pty_line_close(&s.line);
    fail(s, "unknown script line: " + line);
}

void write_file(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary);
        out << text;
    }
    std::rename(temp.c_str(), path.c_str());
}

void serve_request(const std::string& dir, const std::string& name, const std::string& pattern) {
    std::ifstream in(dir + "/" + name + ".taken");
    std::string first;
    std::getline(in, first);
    unsigned com = 0;
    if (std::sscanf(first.c_str(), "com %u", &com) != 1) com = 0;
    Session s;
    s.done_path = dir + "/" + name + ".done";
    char link[1024];
    std::snprintf(link, sizeof link, pattern.c_str(), com);
    // A session that an earlier test gave up may still hold the name: the
    // newest request takes it.
    (void)unlink(link);
    std::string error;
    if (!pty_line_open(&s.line, link, &error)) {
        write_file(dir + "/" + name + ".result", "status fail " + error + "\n");
        return;
    }
    write_file(dir + "/" + name + ".ready", "ready\n");
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        run_line(s, line);
        if (!s.failure.empty()) break;
    }
    // Keep reading what the program sends until the test says it is done.
    const long until = now_ms() + DONE_WAIT_MS;
    while (!exists(s.done_path) && now_ms() < until) {
        if (s.line.master >= 0) {
            read_byte(s, 2);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // Bytes the program wrote just before the test said it was done may still
    // be on their way through the pty: take them in before reporting.
    while (s.line.master >= 0 && read_byte(s, 20) >= 0) {
    }
    std::string result = s.failure.empty() ? "status ok\n" : "status fail " + s.failure + "\n";
    for (const auto& run : s.rx) result += "rx " + std::to_string(run.first) + " " + run.second + "\n";
    pty_line_close(&s.line);
    write_file(dir + "/" + name + ".result", result);
}

volatile sig_atomic_t stopping = 0;
void on_signal(int) { stopping = 1; }

}  // namespace

int main(int argc, char** argv) {
    std::string dir, pattern;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--serve") == 0) dir = argv[i + 1];
        if (std::strcmp(argv[i], "--link-pattern") == 0) pattern = argv[i + 1];
    }
    if (dir.empty() || pattern.empty()) {
        std::fprintf(stderr, "usage: ptypeer --serve DIR --link-pattern PATTERN\n");
        return 2;
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    std::vector<pid_t> children;
    while (!stopping) {
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) return 1;
        while (dirent* e = readdir(d)) {
            std::string file = e->d_name;
            if (file.size() < 5 || file.compare(file.size() - 4, 4, ".req") != 0) continue;
            const std::string name = file.substr(0, file.size() - 4);
            if (std::rename((dir + "/" + file).c_str(), (dir + "/" + name + ".taken").c_str()) != 0) continue;
            const pid_t child = fork();
            if (child == 0) {
                signal(SIGTERM, SIG_DFL);
                serve_request(dir, name, pattern);
                _exit(0);
            }
            if (child > 0) children.push_back(child);
        }
        closedir(d);
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (pid_t child : children) kill(child, SIGTERM);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    return 0;
}
