#include "replay.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

constexpr uint64_t INTERBYTE_US = 10000;   // the program's read ends after this much silence

uint64_t byte_us(uint32_t baud) {
    return baud == 0 ? 0 : 10000000ull / baud;
}

// "12345.6" in µs.
bool read_time(const std::string& text, uint64_t* us) {
    char* end = nullptr;
    const double ms = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || ms < 0) return false;
    *us = static_cast<uint64_t>(ms * 1000.0 + 0.5);
    return true;
}

// The hex bytes after the line's first ": ", up to the first word that is
// not one (a line cut short says "(and N more)").
std::vector<uint8_t> bytes_after_colon(const std::string& line) {
    std::vector<uint8_t> bytes;
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) return bytes;
    std::istringstream in(line.substr(colon + 2));
    std::string word;
    while (in >> word && word.size() == 2 && std::isxdigit(static_cast<unsigned char>(word[0])) &&
           std::isxdigit(static_cast<unsigned char>(word[1]))) {
        bytes.push_back(static_cast<uint8_t>(std::strtoul(word.c_str(), nullptr, 16)));
    }
    return bytes;
}

// "N/M" as its two numbers.
bool read_fraction(const std::string& text, uint32_t* got, uint32_t* asked) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    *got = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    *asked = static_cast<uint32_t>(std::strtoul(text.c_str() + slash + 1, nullptr, 10));
    return true;
}

struct Parser {
    Replay* replay = nullptr;
    uint32_t baud = 0;
    uint64_t last_us = 0;        // the time of the port's line before
    std::string last_text;       // that line, for "again"
};

void add(Parser* p, ReplayKind kind, std::vector<uint8_t> bytes, uint64_t at_us, uint32_t line) {
    p->replay->items.push_back({kind, std::move(bytes), p->baud, at_us, line});
}

// When the bytes of a read that ended at `end_us` had arrived: before the
// gap that ended a short read, less their own time on the line; never
// before the line that came before the read.
uint64_t arrival_us(const Parser& p, uint64_t end_us, size_t got, uint32_t asked) {
    uint64_t before = got * byte_us(p.baud);
    if (got < asked) before += INTERBYTE_US;
    const uint64_t at = end_us > before ? end_us - before : 0;
    return std::max(at, p.last_us);
}

// One event of the replayed port: `text` is its line, `at_us` its time.
void take_event(Parser* p, const std::string& text, uint64_t at_us, uint32_t number) {
    std::istringstream in(text);
    std::string skipped;
    std::string event;
    std::string word;
    in >> skipped >> skipped >> event >> word;
    if (event == "open" || event == "rate") {
        if (text.find(" ok") != std::string::npos) p->baud = static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 10));
    } else if (event == "write") {
        add(p, ReplayKind::expect, bytes_after_colon(text), at_us, number);
    } else if (event == "read") {
        uint32_t got = 0;
        uint32_t asked = 0;
        (void)read_fraction(word, &got, &asked);
        if (got > 0) {
            std::vector<uint8_t> bytes = bytes_after_colon(text);
            const uint64_t at = arrival_us(*p, at_us, bytes.size(), asked);
            add(p, ReplayKind::send, std::move(bytes), at, number);
        } else if (text.find(" hang-up") != std::string::npos) {
            add(p, ReplayKind::hangup, {}, at_us, number);
        }
    } else if (event == "hang-up") {
        add(p, ReplayKind::hangup, {}, at_us, number);
    } else if (event == "flush" || event == "drain" || event == "close,") {
        // What was thrown away had come before; it is sent first.
        std::vector<uint8_t> discarded = bytes_after_colon(text);
        if (!discarded.empty()) add(p, ReplayKind::send, std::move(discarded), std::max(at_us, p->last_us), number);
        uint32_t written = 0;
        uint32_t asked = 0;
        std::string count;
        if (event == "flush" && in >> count && read_fraction(count, &written, &asked)) {
            add(p, ReplayKind::expect, std::vector<uint8_t>(written, 0x00), at_us, number);
        }
    }
    p->last_us = at_us;
}

void take_line(Parser* p, const std::string& text, uint32_t number) {
    std::istringstream in(text);
    std::string time;
    std::string port;
    std::string event;
    std::string word;
    uint64_t at_us = 0;
    if (!(in >> time >> port >> event) || !read_time(time, &at_us)) return;
    if (port != p->replay->port) return;
    if (event != "again") {
        take_event(p, text, at_us, number);
        p->last_text = text;
        return;
    }
    // The line before, as many times more, spread evenly up to this time.
    in >> word;
    const uint32_t times = static_cast<uint32_t>(std::strtoul(word.c_str(), nullptr, 10));
    const uint64_t from = p->last_us;
    for (uint32_t i = 1; i <= times && !p->last_text.empty(); ++i) {
        take_event(p, p->last_text, from + (at_us - from) * i / times, number);
    }
}

}  // namespace

bool replay_load(const std::string& path, const std::string& port, Replay* replay, std::string* error) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line) || line.rfind("# ofwu ", 0) != 0 ||
        line.find("wire trace, format 1") == std::string::npos) {
        *error = path + " is no wire trace of format 1";
        return false;
    }
    *replay = Replay{};
    replay->path = path;
    replay->port = port;
    std::vector<std::string> lines;
    while (std::getline(in, line)) lines.push_back(line);
    // Without a port named, the one the program first wrote to.
    for (size_t i = 0; i < lines.size() && replay->port.empty(); ++i) {
        std::istringstream fields(lines[i]);
        std::string time;
        std::string label;
        std::string event;
        if (fields >> time >> label >> event && event == "write") replay->port = label;
    }
    Parser parser;
    parser.replay = replay;
    for (size_t i = 0; i < lines.size(); ++i) take_line(&parser, lines[i], static_cast<uint32_t>(i + 2));
    const bool any_write = std::any_of(replay->items.begin(), replay->items.end(),
                                       [](const ReplayItem& i) { return i.kind == ReplayKind::expect; });
    if (!any_write) {
        *error = path + " holds no write of the program" + (port.empty() ? "" : " on " + port);
        return false;
    }
    return true;
}

bool replay_complete(const Replay& replay) {
    return replay.difference.empty() && replay.next >= replay.items.size();
}
