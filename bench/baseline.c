/* The least a bridge has to do, in plain C: the yardstick the benchmark holds the real one
 * against, in the same run.
 *
 *   bench_baseline send FD METERING CONFIG CUSTOM FIRST_CLIENT COUNT
 *     Every millisecond on an absolute deadline (clock_nanosleep, TIMER_ABSTIME): one
 *     non-blocking read of at most 11 bytes from FD, a SOCK_SEQPACKET end that holds one
 *     report per record. A 10-byte report becomes a 12-byte message (A0 A0 + report) sent
 *     from a dual-stack UDP socket to each of COUNT clients at consecutive IPv4 addresses
 *     from FIRST_CLIENT (a number), on METERING and, unless report byte 1 is F0, on CONFIG
 *     and CUSTOM. Ends when FD reaches end of file and prints "T ticks/s, R reports".
 *
 *   bench_baseline rx PORT COUNT FD
 *     Binds PORT on the dual-stack any-address, prints "ready", then loops on recvfrom: each
 *     datagram that starts with A0 A0 and is not a keep-alive (A0 A0 'K' 'A') becomes an
 *     11-byte report (00 + datagram bytes 2..11, zero-filled) written to FD. Ends after COUNT
 *     writes.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { MaxClients = 1024 };

static int dualStackSocket(unsigned short port)
{
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0), off = 0;
    struct sockaddr_in6 any = {.sin6_family = AF_INET6, .sin6_port = htons(port)};
    if (fd < 0 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) < 0
        || bind(fd, (struct sockaddr *)&any, sizeof any) < 0)
        return -1;
    return fd;
}

static int sendLoop(char **argv)
{
    static struct sockaddr_in6 to[MaxClients][3]; /* IPv4-mapped, as a dual-stack socket sends */
    int input = atoi(argv[2]), count = atoi(argv[7]), out = dualStackSocket(0), i, p;
    unsigned long first = strtoul(argv[6], NULL, 10);
    long ticks = 0, reports = 0;
    struct timespec started, deadline, ended;

    if (count < 0 || count > MaxClients)
        return 2;
    for (i = 0; i < count; ++i)
        for (p = 0; p < 3; ++p) {
            uint32_t address = htonl((uint32_t)(first + (unsigned long)i));
            to[i][p] = (struct sockaddr_in6) {
                .sin6_family = AF_INET6, .sin6_port = htons((unsigned short)atoi(argv[3 + p]))};
            to[i][p].sin6_addr.s6_addr[10] = to[i][p].sin6_addr.s6_addr[11] = 0xff;
            memcpy(&to[i][p].sin6_addr.s6_addr[12], &address, 4);
        }
    if (out < 0 || fcntl(input, F_SETFL, fcntl(input, F_GETFL) | O_NONBLOCK) < 0) {
        perror("bench_baseline send");
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &started);
    for (deadline = started;;) {
        unsigned char message[13] = {0xA0, 0xA0}; /* room for a record one byte too long */
        ssize_t length;

        deadline.tv_nsec += 1000000;
        deadline.tv_sec += deadline.tv_nsec / 1000000000;
        deadline.tv_nsec %= 1000000000;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) == EINTR) { }
        ++ticks;
        length = read(input, message + 2, 11); /* one read per tick */
        if (length == 0)
            break;
        if (length != 10)
            continue;
        ++reports;
        for (i = 0; i < count; ++i)
            for (p = 0; p < (message[3] == 0xF0 ? 1 : 3); ++p)
                sendto(out, message, 12, 0, (struct sockaddr *)&to[i][p], sizeof to[i][p]);
    }
    clock_gettime(CLOCK_MONOTONIC, &ended);
    printf("%.3f ticks/s, %ld reports\n",
        ticks / ((double)(ended.tv_sec - started.tv_sec) + (ended.tv_nsec - started.tv_nsec) / 1e9),
        reports);
    return 0;
}

static int receiveLoop(char **argv)
{
    long wanted = atol(argv[3]), written = 0;
    int in = dualStackSocket((unsigned short)atoi(argv[2])), out = atoi(argv[4]);

    if (in < 0) {
        perror("bench_baseline rx");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    while (written < wanted) {
        unsigned char datagram[2048], report[11] = {0};
        struct sockaddr_storage from;
        socklen_t fromLength = sizeof from;
        ssize_t length
            = recvfrom(in, datagram, sizeof datagram, 0, (struct sockaddr *)&from, &fromLength);

        if (length < 2 || datagram[0] != 0xA0 || datagram[1] != 0xA0
            || (length >= 4 && datagram[2] == 'K' && datagram[3] == 'A'))
            continue;
        memcpy(report + 1, datagram + 2, length - 2 < 10 ? (size_t)length - 2 : 10);
        if (write(out, report, sizeof report) != (ssize_t)sizeof report) {
            perror("bench_baseline rx: write");
            return 1;
        }
        ++written;
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 8 && strcmp(argv[1], "send") == 0)
        return sendLoop(argv);
    if (argc == 5 && strcmp(argv[1], "rx") == 0)
        return receiveLoop(argv);
    fprintf(stderr,
        "usage: bench_baseline send FD METERING CONFIG CUSTOM FIRST_CLIENT COUNT\n"
        "       bench_baseline rx PORT COUNT FD\n");
    return 2;
}
