#include "peer_client.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/console.h"

namespace {

std::string peer_path(const std::string& file) {
    const char* dir = std::getenv("OFWU_PEER_DIR");
    std::string base = dir != nullptr ? dir : ".";
    const char separator = base.find('\\') != std::string::npos ? '\\' : '/';
    return base + separator + file;
}

bool file_exists(const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

bool wait_for_file(const std::string& path, uint32_t wait_ms) {
    for (uint32_t waited = 0; waited < wait_ms; waited += 2) {
        if (file_exists(path)) return true;
        sleep_ms(2);
    }
    return file_exists(path);
}

bool write_whole(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary);
        out << text;
        if (!out) return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

}  // namespace

std::string PeerResult::rx() const {
    std::string all;
    for (const PeerRun& run : runs) all += run.hex;
    return all;
}

std::string hex_of(const std::string& bytes) {
    std::string out;
    char hex[4];
    for (unsigned char c : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", c);
        out += hex;
    }
    return out;
}

bool peer_start(const std::string& name, uint32_t com, const std::string& script) {
    std::ostringstream request;
    request << "com " << com << "\n" << script << "\n";
    // The ready file is what tells: under Wine a rename has been seen to
    // report failure although the request arrived (the peer takes it at once).
    (void)write_whole(peer_path(name + ".req"), request.str());
    return wait_for_file(peer_path(name + ".ready"), 10000);
}

PeerResult peer_finish(const std::string& name) {
    PeerResult result;
    write_whole(peer_path(name + ".done"), "done\n");
    const std::string path = peer_path(name + ".result");
    if (!wait_for_file(path, 20000)) {
        result.status = "fail no result from the peer";
        return result;
    }
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("status ", 0) == 0) {
            result.status = line.substr(7);
        } else if (line.rfind("rx ", 0) == 0) {
            std::istringstream fields(line.substr(3));
            PeerRun run{};
            fields >> run.baud >> run.hex;
            result.runs.push_back(run);
        }
    }
    result.ok = result.status == "ok";
    return result;
}
