// A test that talks to the scripted pty peer through the program's own port.
#ifndef OFWU_TESTS_SERIAL_FIXTURE_H
#define OFWU_TESTS_SERIAL_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#ifndef _WIN32
#include "held_up.h"
#endif
#include "state/program_state.h"
#include "peer_client.h"
#include "platform/console.h"
#include "serial/serial_port.h"

constexpr uint32_t TEST_COM = 7;
constexpr uint32_t PEER_READS_MS = 200;  // the peer wakes within this for bytes written

class PeerTest : public ::testing::Test {
protected:
    // Puts the peer on TEST_COM with `script`; the test then opens the port.
    void start_peer(const std::string& script) {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // Unique per session, also when one test starts several.
        name_ = std::string(info->test_suite_name()) + "." + info->name() + "." + std::to_string(++sessions_);
        ASSERT_TRUE(peer_start(name_, TEST_COM, script)) << "the pty peer did not answer";
    }
    void open_port(uint32_t baud = 19200) {
        ASSERT_EQ(port_open(&port, TEST_COM, baud), 1);
        current_baud = baud;
    }
    // Closes the port and collects what the peer saw. On Linux the port
    // puts the line's first rate back as it closes, and a pseudo-terminal
    // gives the bytes the peer has not read yet whatever rate the line has
    // when it reads them: the peer is given time to read the last ones first.
    PeerResult finish_peer() {
#ifndef _WIN32
        if (port.is_open) sleep_ms(PEER_READS_MS);
#endif
        port_close(&port);
        return peer_finish(name_);
    }
    void TearDown() override { port_close(&port); }

    std::string name_;
    int sessions_ = 0;
};

// A peer script line that sends `hex` again and again for `for_ms` (0: until
// the port is closed), ten times every 10 ms: a steady babble that wakes
// neither the peer nor the program for every byte.
inline std::string babble_line(uint32_t for_ms, const std::string& hex) {
    std::string line = "repeat " + std::to_string(for_ms) + " 10";
    for (int i = 0; i < 10; ++i) line += " " + hex;
    return line;
}

// Milliseconds taken by `action`.
template <typename Action>
uint32_t elapsed_ms(Action action) {
    const uint32_t start = timer_start();
    action();
    return timer_start() - start;
}

// What `action` took, and the longest the machine held it up: kept this
// process from running while it was ready to (all of that during the action
// counts as one), or held the line canary's bytes up (natively; 0 under
// Wine).
struct Timed {
    uint32_t took_ms;
    double held_up_ms;
    // Whether a try that took longer than `most_ms` overran by no more than
    // the machine held it up: such a try proves nothing and is made again.
    bool overran_held_up(uint32_t most_ms) const { return took_ms > most_ms && took_ms - most_ms <= held_up_ms; }
};

template <typename Action>
Timed timed(Action action) {
#ifdef _WIN32
    return {elapsed_ms(action), 0};
#else
    line_canary_start();
    HeldUpWatch watch;
    held_up_watch_open(&watch, 0);
    const double from = line_canary_now_ms();
    const uint32_t took = elapsed_ms(action);
    held_up_watch_look(&watch);
    held_up_watch_close(&watch);
    return {took, std::max(held_up_watch_longest_ms(watch), line_canary_longest_ms(from, line_canary_now_ms()))};
#endif
}

// A babble that paused this long, because the machine held the peer, the
// line or the test up, could move the end of a 10 s wait past the 2 s the
// babble rows allow beyond it, or end it early: the try proves nothing.
constexpr long BABBLE_HELD_UP_MS = 1000;
inline bool babble_held_up(const PeerResult& peer, const Timed& t) {
    return peer.send_gap_ms >= BABBLE_HELD_UP_MS || t.held_up_ms >= BABBLE_HELD_UP_MS;
}

#endif
