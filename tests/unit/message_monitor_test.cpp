#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "monitor/message_monitor.h"
#include "serial/serial_port.h"
#include "state/program_state.h"

namespace {

class MessageMonitor : public testing::Test {
protected:
    void SetUp() override {
        line_length = 0;
        ready = 0;
        watch_timer = WATCH_UNTOUCHED;
    }

    // Feeds every byte as the main loop does and returns what was printed.
    static std::string fed(const std::string& bytes) {
        testing::internal::CaptureStdout();
        for (char c : bytes) feed_message_byte(static_cast<int8_t>(c));
        return testing::internal::GetCapturedStdout();
    }

    static constexpr uint32_t WATCH_UNTOUCHED = 0x5A5A5A5Au;
};

TEST_F(MessageMonitor, LinesReachTheirRows) {
    struct Case { const char* bytes; int32_t ready; };
    const Case cases[] = {
        {"^=P$", 1},
        {"^=P1$", 1},
        {"^=P $", 1},
        {"^=P@$", 1},    // the neighbours of the letter ranges are no letters
        {"^=P[$", 1},
        {"^=P`$", 1},
        {"^=P{$", 1},
        {"^=PX$", 0},
        {"^=PA$", 0},
        {"^=PZ$", 0},
        {"^=Pa$", 0},
        {"^=Pz$", 0},
        {"^=p$", 0},
        {"^=SZ1,2$", 0},
        {"^=V$", 0},
        {"^=V \"SND44\" 2.58,59,1,0$", 0},
        {"^abc^=P$", 1},   // "^" throws "abc" away
        {"=P$", 1},        // no "^" needed
        {"abc=P$", 0},
        {"^=PX$=P$", 1},   // "$" starts the next line afresh
        {"^=P^$", 0},
        {"$", 0},
        {"^!abc$", 0},
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(fed(c.bytes), "") << c.bytes;
        EXPECT_EQ(ready, c.ready) << c.bytes;
        EXPECT_EQ(watch_timer, WATCH_UNTOUCHED) << c.bytes;
        EXPECT_EQ(line_length, 0) << c.bytes;
    }
}

TEST_F(MessageMonitor, DispatchTellsWhetherARowMatched) {
    struct Case { const char* line; DispatchResult result; const char* printed; };
    const Case cases[] = {
        {"=SZ1,2$", DISPATCH_HANDLED, ""},
        {"=SZ$", DISPATCH_HANDLED, ""},
        {"=SZA$", DISPATCH_UNMATCHED, ""},
        {"=S$", DISPATCH_UNMATCHED, ""},
        {"!7$", DISPATCH_HANDLED, "!7$"},
        {"!abc$", DISPATCH_UNMATCHED, ""},
        {"=P$", DISPATCH_HANDLED, ""},
        {"=P", DISPATCH_HANDLED, ""},        // the end of the text is no letter
        {"=PX$", DISPATCH_UNMATCHED, ""},
        {"=V$", DISPATCH_HANDLED, ""},
        {"=VERSION$", DISPATCH_UNMATCHED, ""},
        {"+$", DISPATCH_UNMATCHED, ""},
        {"$", DISPATCH_UNMATCHED, ""},
        {"", DISPATCH_UNMATCHED, ""},
    };
    for (const Case& c : cases) {
        std::strcpy(line_buffer, c.line);
        testing::internal::CaptureStdout();
        EXPECT_EQ(dispatch_message(line_buffer), c.result) << c.line;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.line;
    }
}

TEST_F(MessageMonitor, ControlBytesAndHighBytesAreDropped) {
    struct Case { char byte; bool dropped; };
    const Case cases[] = {
        {'\x00', true}, {'\x01', true}, {'\x0A', true}, {'\x0D', true}, {'\x1F', true},
        {'\x80', true}, {'\xC3', true}, {'\xFF', true},
        {'\x20', false}, {'\x7F', false},
    };
    for (const Case& c : cases) {
        SetUp();
        std::string bytes = "^=";
        bytes += c.byte;
        bytes += "P$";
        EXPECT_EQ(fed(bytes), "");
        EXPECT_EQ(ready, c.dropped ? 1 : 0) << "byte " << (static_cast<int>(c.byte) & 0xFF);
    }
    SetUp();
    EXPECT_EQ(fed("^=P\r\n$"), "");
    EXPECT_EQ(ready, 1);
}

TEST_F(MessageMonitor, ProgressLines) {
    struct Case { const char* line; const char* printed; };
    const Case cases[] = {
        {"^!100,1,0$", "\n\rUpdating DSPs: Bank = 1, Complete =  16%"},
        {"^!100,1,1$", "\rUpdating DSPs: Bank = 1, Complete =  33%"},
        {"^!100,1,2$", "\rUpdating DSPs: Bank = 1, Complete =  50%"},
        {"^!100,1,3$", "\rUpdating DSPs: Bank = 1, Complete =  66%"},
        {"^!100,1,4$", "\rUpdating DSPs: Bank = 1, Complete =  83%"},
        {"^!100,2,5$", "\rUpdating DSPs: Bank = 2, Complete = 100%"},
        {"^!100,1,-1$", "\rUpdating DSPs: Bank = 1, Complete =   0%"},
        // Negative quotients truncate toward zero and print as unsigned.
        {"^!100,1,-2$", "\rUpdating DSPs: Bank = 1, Complete = 4294967280%"},
        {"^!100,-1,3$", "\rUpdating DSPs: Bank = 4294967295, Complete =  66%"},
        // (S + 1) * 100 wraps at 32 bits.
        {"^!100,1,21474836$", "\rUpdating DSPs: Bank = 1, Complete = 3937053364%"},
        {"^!100,1,2147483647$", "\rUpdating DSPs: Bank = 1, Complete =   0%"},
        {"^!100,1,99999999999$", "\rUpdating DSPs: Bank = 1, Complete =   0%"},    // read as 2147483647
        {"^!100,1,-99999999999$", "\rUpdating DSPs: Bank = 1, Complete =  16%"},  // read as -2147483648
        // Missing fields read as 0; each skip passes exactly one character.
        {"^!100$", "\n\rUpdating DSPs: Bank = 0, Complete =  16%"},
        {"^!100,7$", "\n\rUpdating DSPs: Bank = 7, Complete =  16%"},
        {"^!100,,3$", "\rUpdating DSPs: Bank = 0, Complete =  66%"},
        {"^!100,1 ,2$", "\n\rUpdating DSPs: Bank = 1, Complete =  16%"},
        {"^! 100;2;3$", "\rUpdating DSPs: Bank = 2, Complete =  66%"},
        {"^!+100,2,4$", "\rUpdating DSPs: Bank = 2, Complete =  83%"},
        {"^!0100,3,5junk$", "\rUpdating DSPs: Bank = 3, Complete = 100%"},
        // Any other first number: the line as it came.
        {"^!7,whatever$", "!7,whatever$"},
        {"^!99,1,0$", "!99,1,0$"},
        {"^!-100,1,0$", "!-100,1,0$"},
        {"^!4294967396,1,0$", "!4294967396,1,0$"},   // saturates rather than wrap to 100
        {"^!$", "!$"},
        {"^!%s%n%x%%$", "!%s%n%x%%$"},               // data, never a format
    };
    for (const Case& c : cases) {
        EXPECT_EQ(fed(c.line), c.printed) << c.line;
    }
    EXPECT_EQ(ready, 0);
}

TEST_F(MessageMonitor, OnlyProcessorProgressRestartsTheWatchTimer) {
    for (const char* line : {"^!7,whatever$", "^=P$", "^=SZ1$", "^=V$", "^!99,1,2$", "^$"}) {
        (void)fed(line);
        EXPECT_EQ(watch_timer, WATCH_UNTOUCHED) << line;
    }
    const uint32_t before = timer_start();
    (void)fed("^!100,1,2$");
    const uint32_t after = timer_start();
    EXPECT_LE(watch_timer - before, after - before);
}

TEST_F(MessageMonitor, OverlongLinesKeepTheir254FirstCharacters) {
    for (size_t count : {size_t{253}, size_t{254}, size_t{255}, size_t{300}}) {
        SetUp();
        std::string line = "!7,";
        while (line.size() < count) line += static_cast<char>('0' + line.size() % 10);
        const std::string kept = line.substr(0, 254) + "$";
        EXPECT_EQ(fed("^" + line + "$"), kept) << count;
        EXPECT_STREQ(line_buffer, kept.c_str()) << count;
        EXPECT_EQ(line_length, 0) << count;
    }
    // The buffer is filled exactly: the 254th character at 253, "$" at 254, NUL at 255.
    EXPECT_EQ(line_buffer[253], '3');
    EXPECT_EQ(line_buffer[254], '$');
    EXPECT_EQ(line_buffer[255], '\0');
}

TEST_F(MessageMonitor, ALineContinuesAcrossCalls) {
    EXPECT_EQ(fed("^!100,"), "");
    EXPECT_EQ(line_length, 5);
    EXPECT_EQ(fed("3,0"), "");
    EXPECT_EQ(fed("$"), "\n\rUpdating DSPs: Bank = 3, Complete =  16%");
}

}  // namespace
