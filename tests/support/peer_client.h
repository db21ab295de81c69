// The test program's side of the scripted pty peer (tests/peer/ptypeer.cpp).
// Portable: it talks to the peer through files in $OFWU_PEER_DIR, so the same
// tests run natively and as Windows programs under Wine.
#ifndef OFWU_TESTS_PEER_CLIENT_H
#define OFWU_TESTS_PEER_CLIENT_H

#include <cstdint>
#include <string>
#include <vector>

struct PeerRun {
    uint32_t baud;      // line rate while these bytes came
    std::string hex;    // the bytes, two upper-case hex digits each
};

struct PeerResult {
    bool ok = false;
    std::string status;          // "ok" or "fail <reason>"
    std::vector<PeerRun> runs;
    // Every byte the peer received, whatever the rate, as hex.
    std::string rx() const;
};

// Asks the peer to stand on COM `com` with `script` (lines as ptypeer takes
// them). Returns once the port's link exists; false when the peer did not
// answer within 10 s. `name` must be unique within the test run.
bool peer_start(const std::string& name, uint32_t com, const std::string& script);

// Tells the peer the test is over and returns what it saw (waits up to 20 s).
PeerResult peer_finish(const std::string& name);

// "5E 56 24" style hex of text, for comparing with PeerResult::rx().
std::string hex_of(const std::string& bytes);

#endif
