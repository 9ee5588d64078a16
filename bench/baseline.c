/* The least a bridge has to do, in plain C: the yardstick the benchmark holds the real one
 * against, in the same run.
 *
 *   bench_baseline send FD METERING CONFIG CUSTOM FIRST_CLIENT COUNT
 *     Every millisecond on an absolute deadline (clock_nanosleep, TIMER_ABSTIME): one
 *     non-blocking read of at most 11 bytes from FD, a SOCK_SEQPACKET end that holds one
 *     report per record. A 10-byte report becomes a 12-byte message (A0 A0 + report) sent
 *     from a dual-stack UDP socket to each of COUNT clients at consecutive IPv4 addresses
 *     from FIRST_CLIENT, on METERING and, unless report byte 1 is F0, on CONFIG and CUSTOM.
 *     Ends when FD reaches end of file and prints "ticks=N seconds=S reports=R".
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
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { MaxClients = 1024, ReadSize = 11, ReportSize = 10, MessageSize = 12, WriteSize = 11 };

static int dualStackSocket(unsigned short port)
{
    int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int off = 0;
    struct sockaddr_in6 any;
    if (fd < 0 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) < 0)
        return -1;
    memset(&any, 0, sizeof any);
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    any.sin6_port = htons(port);
    if (bind(fd, (struct sockaddr *)&any, sizeof any) < 0)
        return -1;
    return fd;
}

/* An IPv4 address in its IPv4-mapped IPv6 form, as a dual-stack socket sends to it. */
static struct sockaddr_in6 mapped(unsigned long ipv4, unsigned short port)
{
    struct sockaddr_in6 to;
    memset(&to, 0, sizeof to);
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    to.sin6_addr.s6_addr[10] = 0xff;
    to.sin6_addr.s6_addr[11] = 0xff;
    to.sin6_addr.s6_addr[12] = (unsigned char)(ipv4 >> 24);
    to.sin6_addr.s6_addr[13] = (unsigned char)(ipv4 >> 16);
    to.sin6_addr.s6_addr[14] = (unsigned char)(ipv4 >> 8);
    to.sin6_addr.s6_addr[15] = (unsigned char)ipv4;
    return to;
}

static double seconds(const struct timespec *from, const struct timespec *to)
{
    return (double)(to->tv_sec - from->tv_sec) + (double)(to->tv_nsec - from->tv_nsec) / 1e9;
}

static int sendLoop(int argc, char **argv)
{
    static struct sockaddr_in6 destinations[MaxClients][3];
    struct in_addr first;
    unsigned short ports[3];
    int input, count, out, i, p;
    long ticks = 0, reports = 0;
    struct timespec started, deadline, ended;

    if (argc != 8 || inet_pton(AF_INET, argv[6], &first) != 1)
        return 2;
    input = atoi(argv[2]);
    for (p = 0; p < 3; ++p)
        ports[p] = (unsigned short)atoi(argv[3 + p]);
    count = atoi(argv[7]);
    if (count < 0 || count > MaxClients)
        return 2;
    for (i = 0; i < count; ++i)
        for (p = 0; p < 3; ++p)
            destinations[i][p] = mapped(ntohl(first.s_addr) + (unsigned long)i, ports[p]);
    out = dualStackSocket(0);
    if (out < 0 || fcntl(input, F_SETFL, fcntl(input, F_GETFL) | O_NONBLOCK) < 0) {
        perror("bench_baseline send");
        return 1;
    }

    clock_gettime(CLOCK_MONOTONIC, &started);
    deadline = started;
    for (;;) {
        unsigned char report[ReadSize];
        unsigned char message[MessageSize];
        ssize_t length;
        int portsServed;

        deadline.tv_nsec += 1000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_nsec -= 1000000000;
            ++deadline.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, NULL) == EINTR) { }
        ++ticks;

        length = read(input, report, sizeof report); /* one read per tick */
        if (length == 0)
            break;
        if (length != ReportSize)
            continue;
        ++reports;
        message[0] = message[1] = 0xA0;
        memcpy(message + 2, report, ReportSize);
        portsServed = report[1] == 0xF0 ? 1 : 3;
        for (i = 0; i < count; ++i)
            for (p = 0; p < portsServed; ++p)
                sendto(out, message, sizeof message, 0, (struct sockaddr *)&destinations[i][p],
                       sizeof destinations[i][p]);
    }
    clock_gettime(CLOCK_MONOTONIC, &ended);
    printf("ticks=%ld seconds=%.6f reports=%ld\n", ticks, seconds(&started, &ended), reports);
    return 0;
}

static int receiveLoop(int argc, char **argv)
{
    long wanted, written = 0;
    int in, out;

    if (argc != 5)
        return 2;
    wanted = atol(argv[3]);
    out = atoi(argv[4]);
    in = dualStackSocket((unsigned short)atoi(argv[2]));
    if (in < 0) {
        perror("bench_baseline rx");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);

    while (written < wanted) {
        unsigned char datagram[2048];
        unsigned char report[WriteSize];
        struct sockaddr_storage from;
        socklen_t fromLength = sizeof from;
        ssize_t length = recvfrom(in, datagram, sizeof datagram, 0, (struct sockaddr *)&from,
                                  &fromLength);
        size_t carried;

        if (length < 2 || datagram[0] != 0xA0 || datagram[1] != 0xA0)
            continue;
        if (length >= 4 && datagram[2] == 'K' && datagram[3] == 'A')
            continue;
        memset(report, 0, sizeof report);
        carried = (size_t)length - 2 < WriteSize - 1 ? (size_t)length - 2 : WriteSize - 1;
        memcpy(report + 1, datagram + 2, carried);
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
    if (argc > 1 && strcmp(argv[1], "send") == 0)
        return sendLoop(argc, argv);
    if (argc > 1 && strcmp(argv[1], "rx") == 0)
        return receiveLoop(argc, argv);
    fprintf(stderr, "usage: bench_baseline send FD METERING CONFIG CUSTOM FIRST_CLIENT COUNT\n"
                    "       bench_baseline rx PORT COUNT FD\n");
    return 2;
}
