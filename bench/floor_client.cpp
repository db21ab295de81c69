// The benchmark's floor: the least a client can do to put one image through
// the simulated device. It sends the same bytes as the program, with the same
// writes (length byte, checksum byte, data) and the same round trips (command,
// acknowledge, status request, acknowledge, status reply, acknowledge), but
// with nothing else: plain termios, blocking reads of one byte as it needs
// them, no timers, no console output.
//
// Use: floor_client LINK IMAGE [--drain]
//   --drain  wait with tcdrain() after every write, as the program's port does
// Prints one JSON object: the bytes each way between the end of the start
// packet and the end of the return command (the span the device times), and
// the number of blocks sent. Exit status 0 when the device accepted the
// whole image, 1 on any failure.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr uint8_t ACK = 0xCC;
constexpr uint8_t IDLE_FILL = 0x00;
constexpr uint8_t STATUS_ACCEPTED = '@';
constexpr cc_t READ_WAIT_DECISECONDS = 20;   // a byte not there within 2 s: the device is gone
constexpr useconds_t BOOTLOADER_START_US = 300000;  // the device starts its bootloader 100 ms after the string
constexpr int FLUSH_ZERO_BYTES = 256;        // idle bytes before the probe, as the program sends
constexpr size_t IMAGE_HEADER_SIZE = 84;     // block records start here
constexpr size_t BLOCK_COUNT_AT = 24;
constexpr size_t FLASH_LENGTH_AT = 28;
constexpr size_t FLASH_START_AT = 32;
constexpr size_t START_BYTES_AT = 44;
constexpr size_t START_BYTES_SIZE = 7;
constexpr uint8_t START_PACKET_SIZE = 16;
constexpr size_t PACKET_BUFFER_SIZE = 256;
constexpr size_t PROBE_REPLY_MAX = 255;

struct Link {
    int fd = -1;
    bool drain = false;
    bool counting = false;      // inside the span the device times
    uint64_t bytes_out = 0;     // counted only while `counting`
    uint64_t bytes_in = 0;
};

// The one packet buffer, never cleared: a block packet sends three bytes it
// does not write, and they must be what the program's buffer holds there.
uint8_t packet_buffer[PACKET_BUFFER_SIZE];

bool set_rate(int fd, speed_t speed) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return false;
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;                       // read returns as soon as one byte is there,
    settings.c_cc[VTIME] = READ_WAIT_DECISECONDS;  // or after this long with nothing
    // cfset*speed and tcsetattr return 0 on success, -1 on failure.
    return cfsetispeed(&settings, speed) == 0 && cfsetospeed(&settings, speed) == 0 &&
           tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool put(Link* link, const uint8_t* data, size_t count) {
    size_t sent = 0;
    while (sent < count) {
        const ssize_t n = write(link->fd, data + sent, count - sent);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    if (link->drain && tcdrain(link->fd) != 0) return false;
    if (link->counting) link->bytes_out += count;
    return true;
}

bool get(Link* link, uint8_t* byte) {
    if (read(link->fd, byte, 1) != 1) return false;
    if (link->counting) link->bytes_in += 1;
    return true;
}

bool get_non_zero(Link* link, uint8_t* byte) {
    do {
        if (!get(link, byte)) return false;
    } while (*byte == IDLE_FILL);
    return true;
}

uint8_t checksum(const uint8_t* data, size_t count) {
    uint8_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return sum;
}

// Length byte, checksum byte and data, in three writes as the program makes them.
bool write_packet(Link* link, const uint8_t* data, uint8_t length) {
    const uint8_t length_byte = static_cast<uint8_t>(length + 2u);
    const uint8_t sum = checksum(data, length);
    return put(link, &length_byte, 1) && put(link, &sum, 1) && put(link, data, length);
}

bool await_ack(Link* link) {
    uint8_t answer = 0;
    return get_non_zero(link, &answer) && answer == ACK;
}

// One reply packet into `data` (room for 255 bytes), answered with ACK.
bool receive_packet(Link* link, uint8_t* data, uint8_t* length) {
    uint8_t length_byte = 0;
    uint8_t sum = 0;
    if (!get_non_zero(link, &length_byte) || !get(link, &sum)) return false;
    *length = static_cast<uint8_t>(length_byte - 2u);
    for (uint8_t i = 0; i < *length; ++i) {
        if (!get(link, &data[i])) return false;
    }
    const uint8_t ack = ACK;
    return checksum(data, *length) == sum && put(link, &ack, 1);
}

// Status request, its acknowledge, the status reply "@" and our ACK: the
// second half of every command exchange.
bool status_exchange(Link* link) {
    const uint8_t request = '#';
    uint8_t status[PROBE_REPLY_MAX] = {};
    uint8_t status_length = 0;
    return write_packet(link, &request, 1) && await_ack(link) && receive_packet(link, status, &status_length) &&
           status_length == 1 && status[0] == STATUS_ACCEPTED;
}

uint32_t u32_le(const std::vector<uint8_t>& image, size_t at) {
    return static_cast<uint32_t>(image[at]) | static_cast<uint32_t>(image[at + 1]) << 8 |
           static_cast<uint32_t>(image[at + 2]) << 16 | static_cast<uint32_t>(image[at + 3]) << 24;
}

void put_u32_be(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

// Entry string at the application's rate, then the bootloader's rate, the
// zero-byte flush and the probe, as the program does before its start packet.
bool enter_bootloader(Link* link) {
    static const uint8_t entry[] = "^BOOTL$^BOOTL$^BOOTL$";
    if (!set_rate(link->fd, B19200) || !put(link, entry, sizeof entry - 1)) return false;
    usleep(BOOTLOADER_START_US);
    if (!set_rate(link->fd, B115200)) return false;
    for (int pass = 0; pass < FLUSH_ZERO_BYTES; ++pass) {
        const uint8_t zero = IDLE_FILL;
        if (!put(link, &zero, 1)) return false;
        // Whatever came back is thrown away, as the program does.
        int waiting = 0;
        while (ioctl(link->fd, FIONREAD, &waiting) == 0 && waiting > 0) {
            uint8_t scratch = 0;
            if (!get(link, &scratch)) return false;
        }
    }
    const uint8_t probe = '&';
    uint8_t reply[PROBE_REPLY_MAX] = {};
    uint8_t reply_length = 0;
    return write_packet(link, &probe, 1) && await_ack(link) && receive_packet(link, reply, &reply_length);
}

// The start packet, every block and the return command. Returns the blocks
// the device accepted.
uint32_t transfer(Link* link, const std::vector<uint8_t>& image) {
    packet_buffer[0] = '!';
    put_u32_be(packet_buffer + 1, u32_le(image, FLASH_START_AT));
    put_u32_be(packet_buffer + 5, u32_le(image, FLASH_LENGTH_AT));
    std::memcpy(packet_buffer + 9, image.data() + START_BYTES_AT, START_BYTES_SIZE);
    if (!write_packet(link, packet_buffer, START_PACKET_SIZE)) return 0;
    link->counting = true;  // the device times from the start packet's last byte
    if (!await_ack(link) || !status_exchange(link)) return 0;
    const uint32_t block_count = u32_le(image, BLOCK_COUNT_AT);
    size_t cursor = IMAGE_HEADER_SIZE;
    uint32_t accepted = 0;
    for (; accepted < block_count; ++accepted) {
        if (cursor + 2 > image.size()) return accepted;
        const uint32_t length = image[cursor] | static_cast<uint32_t>(image[cursor + 1]) << 8;
        if (length < 3 || cursor + length > image.size()) return accepted;
        packet_buffer[0] = '$';
        std::memcpy(packet_buffer + 1, image.data() + cursor + 2, length - 3);
        const uint8_t data_length = static_cast<uint8_t>(length + 1);  // as the program sends it
        if (!write_packet(link, packet_buffer, data_length) || !await_ack(link) || !status_exchange(link)) {
            return accepted;
        }
        cursor += length;
    }
    packet_buffer[0] = '%';
    if (!write_packet(link, packet_buffer, 1)) return 0;  // not acknowledged: the device restarts
    link->counting = false;
    return accepted;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--drain") != 0)) {
        std::fprintf(stderr, "use: floor_client LINK IMAGE [--drain]\n");
        return 1;
    }
    std::ifstream file(argv[2], std::ios::binary);
    const std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (image.size() < IMAGE_HEADER_SIZE) {
        std::fprintf(stderr, "floor_client: cannot read the image %s\n", argv[2]);
        return 1;
    }
    Link link;
    link.drain = argc == 4;
    link.fd = open(argv[1], O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (link.fd < 0) {
        std::perror("floor_client: open");
        return 1;
    }
    const bool entered = enter_bootloader(&link);
    const uint32_t blocks = entered ? transfer(&link, image) : 0;
    const bool complete = entered && blocks == u32_le(image, BLOCK_COUNT_AT);
    std::printf("{\"complete\": %s, \"blocks\": %u, \"bytes_out\": %llu, \"bytes_in\": %llu}\n",
                complete ? "true" : "false", blocks, static_cast<unsigned long long>(link.bytes_out),
                static_cast<unsigned long long>(link.bytes_in));
    (void)close(link.fd);  // nothing is left to do if it fails
    return complete ? 0 : 1;
}
