// tavrel-uhid: a hidraw device made through the kernel's uhid driver (root, /dev/uhid), so the
// unmodified program can be tried on the kernel's real hidraw stack without the hardware.
//
//   tavrel-uhid NAME [PRODUCT]     vendor 0805, product 1404 unless PRODUCT (hex) is given
//
// Reads commands from standard input, one a line: hex bytes are fed as an input report,
// "destroy" unplugs the device and exits; end of input unplugs it too. Prints one line per
// event the kernel sends: start, open, close, stop, and "output <hex>" with exactly what a
// program's write delivered. NAME shows as HID_NAME in the node's device/uevent.

#include <linux/uhid.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

// Vendor page, no report ids: a 10-byte input and a 10-byte output report.
const unsigned char Descriptor[]
    = {0x06, 0x00, 0xff, 0x09, 0x01, 0xa1, 0x01, 0x15, 0x00, 0x26, 0xff, 0x00, 0x75, 0x08, 0x95,
        0x0a, 0x09, 0x01, 0x81, 0x02, 0x95, 0x0a, 0x09, 0x01, 0x91, 0x02, 0xc0};

void send(int fd, const uhid_event &event)
{
    if (write(fd, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
        std::perror("tavrel-uhid: write /dev/uhid");
        std::exit(1);
    }
}

void create(int fd, const char *name, unsigned product)
{
    uhid_event event {};
    event.type = UHID_CREATE2;
    auto &req = event.u.create2;
    std::snprintf(reinterpret_cast<char *>(req.name), sizeof req.name, "%s", name);
    req.rd_size = sizeof Descriptor;
    req.bus = 3; // USB
    req.vendor = 0x0805;
    req.product = product;
    std::memcpy(req.rd_data, Descriptor, sizeof Descriptor);
    send(fd, event);
}

void feed(int fd, const std::string &hex)
{
    uhid_event event {};
    event.type = UHID_INPUT2;
    for (size_t i = 0; i + 1 < hex.size() && event.u.input2.size < UHID_DATA_MAX; i += 2)
        event.u.input2.data[event.u.input2.size++]
            = static_cast<__u8>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    send(fd, event);
}

void report(const uhid_event &event)
{
    static const char *const names[] = {nullptr, nullptr, "start", "stop", "open", "close"};
    if (event.type == UHID_OUTPUT) {
        std::printf("output ");
        for (int i = 0; i < event.u.output.size; ++i)
            std::printf("%02x", event.u.output.data[i]);
        std::printf("\n");
    } else if (event.type < sizeof names / sizeof *names && names[event.type]) {
        std::printf("%s\n", names[event.type]);
    }
}

// True while the device should live on.
bool command(int fd, std::string &pending)
{
    char chunk[512];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0)
        return false;
    pending.append(chunk, static_cast<size_t>(got));
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        const std::string line = pending.substr(0, end);
        if (line == "destroy")
            return false;
        if (!line.empty())
            feed(fd, line);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: tavrel-uhid NAME [PRODUCT]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror("tavrel-uhid: /dev/uhid");
        return 1;
    }
    create(fd, argv[1], argc > 2 ? std::strtoul(argv[2], nullptr, 16) : 0x1404);
    std::string pending;
    pollfd fds[] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (bool alive = true; alive && poll(fds, 2, -1) > 0;) {
        uhid_event event {};
        if ((fds[0].revents & POLLIN) && read(fd, &event, sizeof event) > 0)
            report(event);
        if (fds[1].revents & (POLLIN | POLLHUP))
            alive = command(fd, pending);
    }
    uhid_event destroy {};
    destroy.type = UHID_DESTROY;
    send(fd, destroy);
    return 0;
}
