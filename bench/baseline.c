/* The least a bridge has to do, in plain C: the yardstick the benchmark measures beside the
 * real one in the same run. DEVICE is the descriptor of the device's side in both modes, and
 * each ends by printing the CPU time (user and system, in ns) it took once its work began,
 * as the bridge's is measured around the work alone.
 *   send DEVICE METERING CONFIG CUSTOM FIRST_CLIENT COUNT: every millisecond on an absolute
 *     deadline, one non-blocking read of a report (a SOCK_SEQPACKET record); a 10-byte one goes
 *     out as A0 A0 + report to the three ports of COUNT clients at consecutive IPv4 addresses
 *     from FIRST_CLIENT. At end of file prints "TICKS_PER_S CPU_NS", the CPU from the first
 *     report read (nan when none came).
 *   rx DEVICE PORT COUNT: prints "ready", then writes each datagram that starts with A0 A0 to
 *     the device as 00 + its bytes 2..11, zero-filled; prints "CPU_NS" after COUNT writes, the
 *     CPU from "ready".
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <math.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

enum { MaxClients = 1024 };

static int device = -1;

static int dualStackSocket(unsigned short port)
{
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0), off = 0;
    struct sockaddr_in6 any = {.sin6_family = AF_INET6, .sin6_port = htons(port)};
    if (fd < 0 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) < 0
        || bind(fd, (struct sockaddr *)&any, sizeof any) < 0)
        return -1;
    return fd;
}

static double seconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + now.tv_nsec / 1e9;
}

static double cpuNs(void)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e9
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e3;
}

static int sendLoop(char **argv)
{
    static struct sockaddr_in6 to[MaxClients * 3]; /* IPv4-mapped, as a dual-stack socket sends */
    int count = atoi(argv[7]) * 3, out = dualStackSocket(0), i;
    long ticks = 0;
    double started = seconds(), cpuFrom = -1;
    struct timespec deadline;

    for (i = 0; i < count && count <= MaxClients * 3; ++i) {
        uint32_t address = htonl((uint32_t)(strtoul(argv[6], NULL, 10) + i / 3));
        to[i] = (struct sockaddr_in6) {AF_INET6, htons((unsigned short)atoi(argv[3 + i % 3]))};
        to[i].sin6_addr.s6_addr[10] = to[i].sin6_addr.s6_addr[11] = 0xff;
        memcpy(&to[i].sin6_addr.s6_addr[12], &address, 4);
    }
    if (out < 0 || count > MaxClients * 3 || fcntl(device, F_SETFL, O_NONBLOCK) < 0)
        return perror("bench_baseline send"), 1;
    for (clock_gettime(CLOCK_MONOTONIC, &deadline);; ++ticks) {
        unsigned char message[13] = {0xA0, 0xA0}; /* room for a record one byte too long */
        ssize_t length;

        deadline.tv_sec += (deadline.tv_nsec += 1000000) / 1000000000;
        deadline.tv_nsec %= 1000000000;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) == EINTR) { }
        if ((length = read(device, message + 2, 11)) == 0) /* one read per tick */
            break;
        if (length == 10 && cpuFrom < 0)
            cpuFrom = cpuNs();
        for (i = 0; length == 10 && i < count; ++i)
            sendto(out, message, 12, 0, (struct sockaddr *)&to[i], sizeof to[i]);
    }
    printf("%.3f %.0f\n", ticks / (seconds() - started), cpuFrom < 0 ? NAN : cpuNs() - cpuFrom);
    return 0;
}

static int receiveLoop(char **argv)
{
    long wanted = atol(argv[4]), written = 0;
    double cpuFrom;
    int in = dualStackSocket((unsigned short)atoi(argv[3]));

    if (in < 0)
        return perror("bench_baseline rx"), 1;
    printf("ready\n");
    fflush(stdout);
    cpuFrom = cpuNs();
    while (written < wanted) {
        unsigned char datagram[2048], report[11] = {0};
        struct sockaddr_storage from;
        socklen_t fromLength = sizeof from;
        ssize_t length
            = recvfrom(in, datagram, sizeof datagram, 0, (struct sockaddr *)&from, &fromLength);

        if (length < 2 || datagram[0] != 0xA0 || datagram[1] != 0xA0)
            continue;
        memcpy(report + 1, datagram + 2, length - 2 < 10 ? (size_t)length - 2 : 10);
        if (write(device, report, sizeof report) != (ssize_t)sizeof report)
            return perror("bench_baseline rx: write"), 1;
        ++written;
    }
    printf("%.0f\n", cpuNs() - cpuFrom);
    return 0;
}

int main(int argc, char **argv)
{
    device = argc > 2 ? atoi(argv[2]) : -1;
    if (argc == 8 && strcmp(argv[1], "send") == 0)
        return sendLoop(argv);
    if (argc == 5 && strcmp(argv[1], "rx") == 0)
        return receiveLoop(argv);
    fputs("usage: bench_baseline send DEVICE METERING CONFIG CUSTOM FIRST_CLIENT COUNT\n"
          "       bench_baseline rx DEVICE PORT COUNT\n",
        stderr);
    return 2;
}
