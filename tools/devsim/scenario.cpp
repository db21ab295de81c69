#include "scenario.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>

namespace {

using Handler = bool (*)(Scenario* s, const std::string& value, std::string* error);

struct OptionRow {
    const char* name;
    bool takes_value;
    Handler apply;
};

bool read_u32(const std::string& text, uint32_t* value, std::string* error) {
    errno = 0;
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || errno != 0 || *end != '\0' || n > 0xFFFFFFFFull) {
        *error = "not a number: \"" + text + "\"";
        return false;
    }
    *value = static_cast<uint32_t>(n);
    return true;
}

// "nak", "silent", "noise", "D" or "status:HH" (any status byte, hexadecimal).
bool read_fault(const std::string& text, Fault* fault, std::string* error) {
    if (text == "nak") fault->kind = FaultKind::nak;
    else if (text == "silent") fault->kind = FaultKind::silent;
    else if (text == "noise") fault->kind = FaultKind::noise;
    else if (text == "no-reply") fault->kind = FaultKind::no_reply;
    else if (text == "D") *fault = {FaultKind::status, 'D'};
    else if (text.rfind("status:", 0) == 0) {
        uint32_t status = 0;
        if (!read_u32("0x" + text.substr(7), &status, error) || status > 0xFF) {
            *error = "status byte must be two hexadecimal digits: \"" + text + "\"";
            return false;
        }
        *fault = {FaultKind::status, static_cast<uint8_t>(status)};
    } else {
        *error = "unknown fault \"" + text + "\" (nak, silent, noise, no-reply, D, status:HH)";
        return false;
    }
    return true;
}

// A fault from a smaller set: the probe has no status, a text step no packet.
bool read_fault_of(const std::string& text, std::initializer_list<FaultKind> allowed, const char* option,
                   Fault* fault, std::string* error) {
    if (!read_fault(text, fault, error)) return false;
    for (const FaultKind kind : allowed) {
        if (fault->kind == kind) return true;
    }
    *error = std::string("--") + option + " does not take \"" + text + "\"";
    return false;
}

// "DELAY:TEXT" or "DELAY TEXT", the delay in milliseconds.
bool read_script_line(const std::string& text, ScriptLine* line, std::string* error) {
    const size_t end = text.find_first_not_of("0123456789");
    if (end == 0 || end == std::string::npos || (text[end] != ':' && text[end] != ' ' && text[end] != '\t')) {
        *error = "script line needs DELAY:TEXT: \"" + text + "\"";
        return false;
    }
    line->text = scenario_unescape(text.substr(end + 1));
    return read_u32(text.substr(0, end), &line->delay_ms, error);
}

std::vector<std::string> split_commas(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) items.push_back(scenario_unescape(item));
    return items;
}

// "K:FAULT" for the K-th block or status request, from 1.
bool numbered_fault(std::map<uint32_t, Fault>* faults, const char* option, std::initializer_list<FaultKind> allowed,
                    const std::string& v, std::string* e) {
    const size_t colon = v.find(':');
    uint32_t number = 0;
    if (colon == std::string::npos || !read_u32(v.substr(0, colon), &number, e) || number == 0) {
        *e = std::string("--") + option + " needs K:FAULT with K from 1: \"" + v + "\"";
        return false;
    }
    return read_fault_of(v.substr(colon + 1), allowed, option, &(*faults)[number], e);
}

const std::initializer_list<FaultKind> COMMAND_FAULTS = {FaultKind::nak, FaultKind::silent, FaultKind::noise,
                                                         FaultKind::status};

bool on_block(Scenario* s, const std::string& v, std::string* e) {
    return numbered_fault(&s->on_block, "on-block", COMMAND_FAULTS, v, e);
}

bool on_status(Scenario* s, const std::string& v, std::string* e) {
    return numbered_fault(&s->on_status, "on-status", {FaultKind::nak, FaultKind::silent, FaultKind::no_reply}, v, e);
}

bool on_layout(Scenario* s, const std::string& v, std::string* e) {
    if (v == "current") s->identity.layout = InfoLayout::current;
    else if (v == "legacy") s->identity.layout = InfoLayout::legacy;
    else if (v == "legacy-unterminated") s->identity.layout = InfoLayout::legacy_unterminated;
    else {
        *e = "unknown layout \"" + v + "\" (current, legacy, legacy-unterminated)";
        return false;
    }
    return true;
}

bool on_start(Scenario* s, const std::string& v, std::string* e) {
    if (v != "app" && v != "bootloader") {
        *e = "--start takes app or bootloader";
        return false;
    }
    s->start_in_bootloader = v == "bootloader";
    return true;
}

bool on_unplug(Scenario* s, const std::string& v, std::string* e) {
    s->unplug_at = v;
    if (!scenario_step_valid(v)) *e = "unknown unplug step \"" + v + "\"";
    return e->empty();
}

bool on_babble(Scenario* s, const std::string& v, std::string* e) {
    if (v != "zeros" && v != "carets" && v != "empty-lines") {
        *e = "--babble takes zeros, carets or empty-lines";
        return false;
    }
    s->babble = v;
    return true;
}

bool on_expect(Scenario* s, const std::string& v, std::string* e) {
    const char* known[] = {"update", "no-update", "query", "probe", "unplugged", "clean", "replayed"};
    for (const char* k : known) {
        if (v == k) {
            s->expectations.push_back(v);
            return true;
        }
    }
    *e = "unknown expectation \"" + v + "\"";
    return false;
}

bool on_probe_length(Scenario* s, const std::string& v, std::string* e) {
    uint32_t n = 0;
    if (!read_u32(v, &n, e) || n > 255) {
        *e = "--probe-data-length takes 0 to 255";
        return false;
    }
    s->probe_data_length = static_cast<int32_t>(n);
    return true;
}

bool on_silent_probes(Scenario* s, const std::string& v, std::string* e) {
    uint32_t n = 0;
    if (!read_u32(v, &n, e)) return false;
    s->boot_silent_probes = static_cast<int32_t>(n);
    return true;
}

bool add_line(std::vector<ScriptLine>* script, const std::string& v, std::string* e) {
    ScriptLine line{};
    if (!read_script_line(v, &line, e)) return false;
    script->push_back(line);
    return true;
}

bool load_file(Scenario* s, const std::string& v, std::string* e) {
    return scenario_load_file(v, s, e);
}

// Every option, by name without its "--". Columns: name, takes a value, handler.
const OptionRow OPTIONS[] = {
    {"link",               true,  [](Scenario* s, const std::string& v, std::string*) { s->link = v; return true; }},
    {"report",             true,  [](Scenario* s, const std::string& v, std::string*) { s->report_path = v; return true; }},
    {"image",              true,  [](Scenario* s, const std::string& v, std::string*) { s->image_path = v; return true; }},
    {"scenario",           true,  load_file},
    {"start",              true,  on_start},
    {"product",            true,  [](Scenario* s, const std::string& v, std::string* e) { return read_u32(v, &s->identity.product_code, e); }},
    {"revision",           true,  [](Scenario* s, const std::string& v, std::string* e) { return read_u32(v, &s->identity.hardware_revision, e); }},
    {"version",            true,  [](Scenario* s, const std::string& v, std::string*) { s->identity.version_text = v; return true; }},
    {"name",               true,  [](Scenario* s, const std::string& v, std::string*) { s->identity.name = scenario_unescape(v); return true; }},
    {"option",             true,  [](Scenario* s, const std::string& v, std::string*) { s->identity.option_word = v; return true; }},
    {"no-identity",        false, [](Scenario* s, const std::string&, std::string*) { s->identity.identity_tail = false; return true; }},
    {"reply",              true,  [](Scenario* s, const std::string& v, std::string*) { s->identity.reply_override = scenario_unescape(v); return true; }},
    {"layout",             true,  on_layout},
    {"app-silent",         false, [](Scenario* s, const std::string&, std::string*) { s->app_silent = true; return true; }},
    {"boot-silent",        false, [](Scenario* s, const std::string&, std::string*) { s->boot_silent_probes = -1; return true; }},
    {"boot-silent-probes", true,  on_silent_probes},
    {"before-reply",       true,  [](Scenario* s, const std::string& v, std::string*) { s->before_reply = split_commas(v); return true; }},
    {"noise",              true,  [](Scenario* s, const std::string& v, std::string* e) { return read_u32(v, &s->noise_bytes, e); }},
    {"probe-data-length",  true,  on_probe_length},
    {"probe-bad-checksum", false, [](Scenario* s, const std::string&, std::string*) { s->probe_bad_checksum = true; return true; }},
    {"on-probe",           true,  [](Scenario* s, const std::string& v, std::string* e) { return read_fault_of(v, {FaultKind::nak, FaultKind::silent, FaultKind::noise}, "on-probe", &s->on_probe, e); }},
    {"on-start",           true,  [](Scenario* s, const std::string& v, std::string* e) { return read_fault_of(v, COMMAND_FAULTS, "on-start", &s->on_start, e); }},
    {"on-block",           true,  on_block},
    {"on-status",          true,  on_status},
    {"on-entry",           true,  [](Scenario* s, const std::string& v, std::string* e) { return read_fault_of(v, {FaultKind::silent, FaultKind::noise}, "on-entry", &s->on_entry, e); }},
    {"on-restart",         true,  [](Scenario* s, const std::string& v, std::string* e) { return read_fault_of(v, {FaultKind::silent, FaultKind::noise}, "on-restart", &s->on_restart, e); }},
    {"babble",             true,  on_babble},
    {"faults-once",        false, [](Scenario* s, const std::string&, std::string*) { s->faults_once = true; return true; }},
    {"unplug-at",          true,  on_unplug},
    {"line",               true,  [](Scenario* s, const std::string& v, std::string* e) { return add_line(&s->restart_script, v, e); }},
    {"start-line",         true,  [](Scenario* s, const std::string& v, std::string* e) { return add_line(&s->start_script, v, e); }},
    {"bootl-delay",        true,  [](Scenario* s, const std::string& v, std::string* e) { return read_u32(v, &s->bootl_delay_ms, e); }},
    {"restart-version",    true,  [](Scenario* s, const std::string& v, std::string*) { s->restart_version = v; return true; }},
    {"restart-delay",      true,  [](Scenario* s, const std::string& v, std::string* e) { return read_u32(v, &s->restart_delay_ms, e); }},
    {"idle-timeout",       true,  [](Scenario* s, const std::string& v, std::string* e) { return read_u32(v, &s->idle_timeout_ms, e); }},
    {"replay",             true,  [](Scenario* s, const std::string& v, std::string*) { s->replay_path = v; return true; }},
    {"replay-port",        true,  [](Scenario* s, const std::string& v, std::string*) { s->replay_port = v; return true; }},
    {"record-wire",        false, [](Scenario* s, const std::string&, std::string*) { s->record_wire = true; return true; }},
    {"pace",               false, [](Scenario* s, const std::string&, std::string*) { s->pace = true; return true; }},
    {"verbose",            false, [](Scenario* s, const std::string&, std::string*) { s->verbose = true; return true; }},
    {"expect",             true,  on_expect},
};

const OptionRow* find_option(const std::string& name) {
    for (const OptionRow& row : OPTIONS) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

bool apply(const OptionRow* row, const std::string& name, const std::string& value, Scenario* s,
           std::string* error) {
    if (row == nullptr) {
        *error = "unknown option \"" + name + "\"";
        return false;
    }
    if (!row->apply(s, value, error)) {
        if (error->empty()) *error = "bad value for " + name;
        return false;
    }
    return true;
}

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool step_number(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

}  // namespace

bool scenario_parse_args(int argc, char** argv, Scenario* scenario, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            *error = "unexpected argument \"" + arg + "\"";
            return false;
        }
        const OptionRow* row = find_option(arg.substr(2));
        std::string value;
        if (row != nullptr && row->takes_value) {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (!apply(row, arg, value, scenario, error)) return false;
    }
    if (scenario->link.empty()) *error = "--link PATH is required";
    return error->empty();
}

bool scenario_load_file(const std::string& path, Scenario* scenario, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = "cannot read scenario file " + path;
        return false;
    }
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        text = trim(text);
        if (text.empty() || text[0] == '#') continue;
        const size_t space = text.find_first_of(" \t");
        const std::string name = text.substr(0, space);
        const std::string value = space == std::string::npos ? "" : trim(text.substr(space));
        if (!apply(find_option(name), name, value, scenario, error)) {
            *error = path + ":" + std::to_string(number) + ": " + *error;
            return false;
        }
    }
    return true;
}

bool scenario_step_valid(const std::string& step) {
    const size_t colon = step.find(':');
    const std::string name = step.substr(0, colon);
    const std::string count = colon == std::string::npos ? "" : step.substr(colon + 1);
    if (name == "bootl" || name == "start" || name == "return") return count.empty();
    if (name == "query" || name == "probe" || name == "status") return count.empty() || step_number(count);
    if (name == "block" || name == "time" || name == "line") return step_number(count);
    return false;
}

std::string scenario_unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char kind = text[++i];
        if (kind == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else if (kind == 'r') out += '\r';
        else if (kind == 'n') out += '\n';
        else out += kind;
    }
    return out;
}

const char* scenario_usage() {
    return "use: devsim --link PATH [options]   (see tools/devsim/README.md)\n"
           "  --report PATH  --image FILE  --scenario FILE  --start app|bootloader\n"
           "  --product N  --revision N  --version TEXT  --name TEXT  --option HEX\n"
           "  --no-identity  --reply TEXT  --layout current|legacy|legacy-unterminated\n"
           "  --app-silent  --boot-silent  --boot-silent-probes N\n"
           "  --before-reply LINES  --noise N  --probe-data-length N  --probe-bad-checksum\n"
           "  --on-probe FAULT  --on-start FAULT  --on-block K:FAULT  --on-status K:FAULT\n"
           "      (FAULT: nak, silent, noise, D, status:HH; for a status request nak, silent, no-reply)\n"
           "  --on-entry silent|noise  --on-restart silent|noise  --faults-once\n"
           "  --babble zeros|carets|empty-lines\n"
           "  --unplug-at STEP  --line MS:TEXT  --start-line MS:TEXT\n"
           "  --bootl-delay MS  --restart-delay MS  --restart-version TEXT  --idle-timeout MS  --pace  --verbose\n"
           "  --replay TRACE  --replay-port LABEL  --record-wire\n"
           "  --expect update|no-update|query|probe|unplugged|clean|replayed\n";
}
