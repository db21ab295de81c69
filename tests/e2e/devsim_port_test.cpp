// devsim's application half against the program's own serial port and
// version query, over a real pseudo-terminal.
#include <unistd.h>

#include "devsim_fixture.h"
#include "identify/version_query.h"

namespace {

TEST_F(DevsimPort, AnswersTheVersionQueryAsItIsTold) {
    struct Case {
        std::vector<std::string> args;
        uint16_t product, revision;
        uint32_t version, option;
        const char* name;
    };
    const Case cases[] = {
        {{}, 59, 1, 0x023A0000u, 0u, "SND44"},
        {{"--no-identity"}, 56, 1, 0x023A0000u, 0xFFFFFFFFu, "SND44"},
        {{"--before-reply", "$,+$,$", "--noise", "9"}, 59, 1, 0x023A0000u, 0u, "SND44"},
        {{"--revision", "2", "--version", "1.05.03c", "--name", "", "--option", "1F"}, 59, 2, 0x01050303u, 0x1Fu, ""},
    };
    for (const Case& c : cases) {
        ASSERT_NO_FATAL_FAILURE(start(c.args, 19200));
        ASSERT_EQ(query_version(&device, 0), VERSION_OK) << c.args.size();
        EXPECT_EQ(device.product_code, c.product);
        EXPECT_EQ(device.hardware_revision, c.revision);
        EXPECT_EQ(device.version, c.version);
        EXPECT_EQ(device.option_word, c.option);
        EXPECT_STREQ(device.reported_name, c.name);
        const DeviceOutcome outcome = stop();
        EXPECT_EQ(count_of(outcome, "version_queries"), 1);
        EXPECT_FALSE(outcome.link_left);
    }
}

TEST_F(DevsimPort, IgnoresAQuerySentAtTheWrongRate) {
    ASSERT_NO_FATAL_FAILURE(start({}, 115200));
    const uint8_t query[] = {'^', 'V', '$'};
    ASSERT_EQ(port_write(&port, query, 3), 3);
    sleep_ms(300);
    EXPECT_EQ(port_pending(&port), 0) << "the application listens at 19200 baud only";
    ASSERT_EQ(port_set_baud(&port, 19200), 1);
    EXPECT_EQ(query_version(&device, 0), VERSION_OK);
    const DeviceOutcome outcome = stop();
    EXPECT_EQ(count_of(outcome, "bytes_dropped_wrong_rate"), 3);
    EXPECT_EQ(count_of(outcome, "version_queries"), 1);
    const size_t noise = find_event(outcome, "noise");
    ASSERT_LT(noise, event_count(outcome));
    EXPECT_EQ(event_line_baud(outcome, noise), 115200);
    EXPECT_EQ(report_number(outcome, "/events/" + std::to_string(noise) + "/device_baud"), 19200);
    EXPECT_EQ(event_repeat(outcome, noise), 3);
    // The pty's own rate before the port was opened, then the program's two.
    EXPECT_EQ(line_rates(outcome), (std::vector<std::string>{"38400", "115200", "19200"}));
}

TEST_F(DevsimPort, WhatItSendsAtTheWrongRateArrivesAsFF) {
    ASSERT_NO_FATAL_FAILURE(start({"--start-line", "300:=P"}, 115200));
    uint8_t line[8] = {};
    ASSERT_EQ(port_read_timed(&port, line, 4, 2000), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(line[i], 0xFF) << i;
    EXPECT_EQ(count_of(stop(), "bytes_sent_wrong_rate"), 4);
}

TEST_F(DevsimPort, StopsByItselfWhenIdleAndRemovesItsLink) {
    ASSERT_NO_FATAL_FAILURE(start({"--idle-timeout", "300"}, 19200));
    const DeviceOutcome outcome = devsim_wait(&process_, 5000);
    EXPECT_EQ(outcome.exit_status, 0);
    EXPECT_EQ(report_text(outcome, "/stop_reason"), "idle timeout");
    EXPECT_FALSE(outcome.link_left);
}

TEST_F(DevsimPort, UnplugsAtTheChosenStep) {
    ASSERT_NO_FATAL_FAILURE(start({"--unplug-at", "query:2", "--expect", "unplugged"}, 19200));
    EXPECT_EQ(query_version(&device, 0), VERSION_OK);
    EXPECT_EQ(query_version(&device, 0), VERSION_NO_REPLY);
    const DeviceOutcome outcome = devsim_wait(&process_, 5000);
    EXPECT_EQ(outcome.exit_status, 0) << outcome.log;
    EXPECT_EQ(report_text(outcome, "/unplugged_at"), "query:2");
    EXPECT_FALSE(outcome.link_left);
    EXPECT_FALSE(path_exists(link()));
}

TEST_F(DevsimPort, LeavesACOMNumberToTheDeviceStandingThere) {
    ASSERT_NO_FATAL_FAILURE(start({}, 19200));
    DevsimProcess second;
    std::string error;
    EXPECT_FALSE(devsim_start(link(), folder_->path, 99, {}, &second, &error));
    EXPECT_NE(error.find("is taken"), std::string::npos) << error;
    EXPECT_EQ(query_version(&device, 0), VERSION_OK) << "the first device still answers";
}

TEST_F(DevsimPort, ExitStatusSaysWhetherExpectationsWereMet) {
    ASSERT_NO_FATAL_FAILURE(start({"--expect", "query", "--expect", "no-update"}, 19200));
    const DeviceOutcome unmet = stop();
    EXPECT_EQ(unmet.exit_status, 1);
    EXPECT_EQ(report_text(unmet, "/unmet/0"), "query");
    ASSERT_NO_FATAL_FAILURE(start({"--expect", "query"}, 19200));
    ASSERT_EQ(query_version(&device, 0), VERSION_OK);
    EXPECT_EQ(stop().exit_status, 0);
}

}  // namespace
