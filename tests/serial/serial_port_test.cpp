#include <cstring>
#include <ctime>

#ifndef _WIN32
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#endif

#include "serial_fixture.h"
#include "wine_host.h"

namespace {

const uint8_t GO[] = {'G'};

using SerialPortTest = PeerTest;

TEST_F(SerialPortTest, OpensAt19200AndWritesBytesThatLeaveThePort) {
    start_peer("wait_rate 19200\nexpect_text ^V$");
    open_port();
    const uint8_t query[] = {'^', 'V', '$'};
    EXPECT_EQ(port_write(&port, query, 3), 3);
    EXPECT_EQ(port_write(&port, query, 0), 0);  // nothing asked, nothing written
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    ASSERT_EQ(peer.runs.size(), 1u);
    EXPECT_EQ(peer.runs[0].baud, 19200u);
    EXPECT_EQ(peer.runs[0].hex, "5E5624");
}

TEST_F(SerialPortTest, SecondOpenOnlyReportsAndKeepsTheRate) {
    start_peer("expect_text A\nexpect_text B");
    open_port();
    testing::internal::CaptureStdout();
    EXPECT_EQ(port_open(&port, TEST_COM, 115200), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Com7 already open!\n");
    const uint8_t a[] = {'A'};
    EXPECT_EQ(port_write(&port, a, 1), 1);  // still at 19200
    sleep_ms(50);                           // the peer notes the rate as the byte comes
    EXPECT_EQ(port_set_baud(&port, 115200), 1);
    const uint8_t b[] = {'B'};
    EXPECT_EQ(port_write(&port, b, 1), 1);
    const PeerResult peer = finish_peer();
    EXPECT_TRUE(peer.ok) << peer.status;
    ASSERT_EQ(peer.runs.size(), 2u);
    EXPECT_EQ(peer.runs[0].baud, 19200u);
    EXPECT_EQ(peer.runs[0].hex, "41");
    EXPECT_EQ(peer.runs[1].baud, 115200u);
    EXPECT_EQ(peer.runs[1].hex, "42");
}

TEST_F(SerialPortTest, PortIsExclusiveAndCloseIsAlwaysHarmless) {
    start_peer("sleep 1");
    open_port();
    SerialPort second{};
    // Windows refuses a second opener by share mode 0; Wine does not enforce it.
    if (!running_under_wine()) {
        EXPECT_EQ(port_open(&second, TEST_COM, 19200), 0) << "a second opener must be refused";
        EXPECT_EQ(second.is_open, 0);
    }
    EXPECT_EQ(port_close(&port), 1);
    EXPECT_EQ(port_close(&port), 1);
    EXPECT_EQ(port.is_open, 0);
    EXPECT_EQ(port_open(&second, TEST_COM, 19200), 1) << "free again once closed";
    EXPECT_EQ(port_close(&second), 1);
    SerialPort never_opened{};
    EXPECT_EQ(port_close(&never_opened), 1);
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(SerialPortTest, MissingPortDoesNotOpen) {
    SerialPort missing{};
    EXPECT_EQ(port_open(&missing, 63, 19200), 0);
    EXPECT_EQ(missing.is_open, 0);
    uint8_t byte = 0;
    EXPECT_EQ(port_write(&missing, GO, 1), 0);
    EXPECT_EQ(port_read(&missing, &byte, 1), 0);
    EXPECT_EQ(port_pending(&missing), 0);
}

// Once a byte has come, a read ends when 10 ms pass without another: a
// pause splits it, and the rest comes in the next read. (The pause is long
// enough that no busy machine holds the read up across it; bytes closer
// together than the gap are joined by the same wait, which the virtual-time
// suite's port plays as the system's does.)
TEST_F(SerialPortTest, ReadEndsOnATenMillisecondGap) {
    start_peer("expect_text G\nsend 01 02\nsleep 300\nsend 03 04");
    open_port();
    ASSERT_EQ(port_write(&port, GO, 1), 1);
    uint8_t buffer[8] = {};
    ASSERT_EQ(port_read(&port, buffer, 1), 1);
    int32_t got = 0;
    const uint32_t took = elapsed_ms([&] { got = port_read(&port, buffer + 1, 7); });
    EXPECT_EQ(got, 1);
    EXPECT_LT(took, 300u) << "the read waits for the gap, not for the bytes after the pause";
    EXPECT_EQ(port_read(&port, buffer + 2, 6), 2) << "the rest in the next read";
    EXPECT_EQ(buffer[3], 4);
    EXPECT_TRUE(finish_peer().ok);
}

// A device that trickles bytes closer together than the 10 ms gap cannot
// keep a read going: PORT_WAIT_MS bounds the whole read, which is then given
// up with 0. The peer trickles for 5 s; a machine that holds it up 10 ms
// ends the read early by a real gap, which the bound allows too.
TEST_F(SerialPortTest, ATrickleIsGivenUpAfterOnePortWait) {
    start_peer("expect_text G\ntrickle 5A 2500 2");
    open_port();
    ASSERT_EQ(port_write(&port, GO, 1), 1);
    static uint8_t buffer[4000];
    int32_t got = -1;
    const uint32_t took = elapsed_ms([&] { got = port_read(&port, buffer, sizeof buffer); });
    (void)finish_peer();
    EXPECT_LT(took, PORT_WAIT_MS + 500) << "the whole read is bounded, not only its first byte";
    if (took >= PORT_WAIT_MS) {
        EXPECT_EQ(got, 0) << "a read that ran out its wait is given up";
    }
}

#ifndef _WIN32
// The count a write reports is what it wrote, whether or not the line can be
// drained afterwards: the drain (ioctl TCSBRK) is made to fail, as it does
// when the device goes between the write and the drain, by a system call
// filter in a child process.
TEST_F(SerialPortTest, AWriteReportsItsCountWhenTheDrainFails) {
    start_peer("expect_text G");
    const pid_t child = fork();
    if (child == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, TCSBRK, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (port_open(&port, TEST_COM, 19200) != 1) _exit(2);
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            _exit(3);
        }
        _exit(port_write(&port, GO, 1) == 1 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the write reported 0; 2, 3: the test could not set up";
    EXPECT_TRUE(finish_peer().ok);
}
#endif

// True once `count` bytes wait on the port, within 2 s: the peer sends at
// once, but a loaded machine may hold it up.
bool bytes_waiting(int32_t count) {
    const uint32_t start = timer_start();
    while (port_pending(&port) < count && !timer_expired(start, 2000)) sleep_ms(5);
    return port_pending(&port) == count;
}

TEST_F(SerialPortTest, ReadOfTheWantedCountAddsNoGapWait) {
    // The packet link reads one byte at a time thousands of times per update.
    start_peer("expect_text G\nsend 11 22 33 44");
    open_port();
    ASSERT_EQ(port_write(&port, GO, 1), 1);
    ASSERT_TRUE(bytes_waiting(4)) << "the peer's bytes never came";
    uint8_t byte = 0;
    const uint32_t took = elapsed_ms([&] {
        for (int i = 0; i < 4; ++i) EXPECT_EQ(port_read(&port, &byte, 1), 1);
    });
    EXPECT_LT(took, 20u);
    EXPECT_EQ(byte, 0x44);
    EXPECT_TRUE(finish_peer().ok);
}

// A timed read goes on across a pause while its limit holds: its reads
// end on the gaps, and the bytes after a second's pause still come in it,
// well before a whole port wait would have passed.
TEST_F(SerialPortTest, TimedReadGoesOnAcrossAPauseWhileTheLimitHolds) {
    start_peer("expect_text G\nsend 01 02 03\nsleep 1000\nsend 04 05");
    open_port();
    ASSERT_EQ(port_write(&port, GO, 1), 1);
    uint8_t buffer[5] = {};
    int32_t got = 0;
    const uint32_t took = elapsed_ms([&] { got = port_read_timed(&port, buffer, 5, 500); });
    EXPECT_EQ(got, 5);
    EXPECT_GT(took, 900u);
    EXPECT_LT(took, PORT_WAIT_MS);
    EXPECT_EQ(buffer[4], 5);
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(SerialPortTest, TimedReadOfNothingReadsNothing) {
    start_peer("send 01");
    open_port();
    uint8_t byte = 0;
    const uint32_t took = elapsed_ms([&] { EXPECT_EQ(port_read_timed(&port, &byte, 0, 0), 0); });
    EXPECT_LT(took, 5u);
    EXPECT_TRUE(bytes_waiting(1)) << "the waiting byte must not have been read";
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(SerialPortTest, PendingCountsWaitingBytes) {
    start_peer("expect_text G\nsend 0A 0B 0C 0D");
    open_port();
    EXPECT_EQ(port_pending(&port), 0);
    ASSERT_EQ(port_write(&port, GO, 1), 1);
    sleep_ms(100);
    EXPECT_EQ(port_pending(&port), 4);
    uint8_t buffer[4] = {};
    EXPECT_EQ(port_read(&port, buffer, 4), 4);
    EXPECT_EQ(port_pending(&port), 0);
    EXPECT_TRUE(finish_peer().ok);
}

TEST_F(SerialPortTest, FailedRateChangeClosesThePort) {
    // A device that is gone cannot take a new rate. The peer waits a moment
    // before it hangs up, so the write of "G" has drained before the line
    // goes away (a write that cannot drain is a failed write).
    start_peer("expect_text G\nsleep 50\nhangup");
    open_port();
    ASSERT_EQ(port_write(&port, GO, 1), 1);
    sleep_ms(100);
    EXPECT_EQ(port_set_baud(&port, 115200), 0);
    EXPECT_EQ(port.is_open, 0);
    uint8_t byte = 0;
    EXPECT_EQ(port_write(&port, GO, 1), 0);
    EXPECT_EQ(port_read(&port, &byte, 1), 0);
    EXPECT_EQ(port_pending(&port), 0);
    EXPECT_EQ(port_set_baud(&port, 19200), 0) << "a closed port stays closed";
    int32_t got = -1;
    const uint32_t took = elapsed_ms([&] { got = port_read_timed(&port, &byte, 1, 100); });
    EXPECT_EQ(got, 0);
    EXPECT_GE(took, 100u);
    EXPECT_LT(took, 400u);
    finish_peer();
}

#ifndef _WIN32
// clock() is processor time here (on Windows it is wall time, and a wait
// there costs nothing).
TEST_F(SerialPortTest, UnpluggedDeviceEndsReadsWithoutSpinning) {
    start_peer("expect_text G\nsleep 50\nhangup");
    open_port();
    ASSERT_EQ(port_write(&port, GO, 1), 1);
    sleep_ms(100);
    uint8_t byte = 0;
    const std::clock_t cpu_before = std::clock();
    int32_t got = -1;
    const uint32_t took = elapsed_ms([&] { got = port_read_timed(&port, &byte, 1, 300); });
    const std::clock_t cpu = std::clock() - cpu_before;
    EXPECT_EQ(got, 0);
    EXPECT_LT(took, 1000u);
    EXPECT_LT(cpu, CLOCKS_PER_SEC / 10) << "waiting for a gone device must not burn the processor";
    finish_peer();
}
#endif

}  // namespace
