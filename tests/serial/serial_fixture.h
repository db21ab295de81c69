// A test that talks to the scripted pty peer through the program's own port.
#ifndef OFWU_TESTS_SERIAL_FIXTURE_H
#define OFWU_TESTS_SERIAL_FIXTURE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

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

// Milliseconds taken by `action`.
template <typename Action>
uint32_t elapsed_ms(Action action) {
    const uint32_t start = timer_start();
    action();
    return timer_start() - start;
}

#endif
