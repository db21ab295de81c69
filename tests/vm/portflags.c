/* Prints the two port flags that stty cannot show: the serial driver's
 * low-latency flag (TIOCGSERIAL) and the tty's exclusive flag (TIOCGEXCL),
 * as "low_latency=N exclusive=N", so that a run can be checked for leaving
 * a port as it found it. Built statically for the test guest. */
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: portflags DEVICE\n");
        return 2;
    }
    /* Root opens an exclusive tty all the same, so the flag can be read. */
    int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    struct serial_struct serial;
    int exclusive = 0;
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || ioctl(fd, TIOCGEXCL, &exclusive) != 0) {
        perror(argv[1]);
        return 1;
    }
    printf("low_latency=%d exclusive=%d\n", (serial.flags & ASYNC_LOW_LATENCY) ? 1 : 0, exclusive ? 1 : 0);
    return close(fd) == 0 ? 0 : 1;
}
