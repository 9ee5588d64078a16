// What the desktop test needs that the command-line tools do not offer:
//   desktophelper tray-owned         exit 0 when an XEmbed tray owns _NET_SYSTEM_TRAY_S<screen>
//   desktophelper close WINDOW       ask WINDOW to close, as a title-bar close button does
//                                    (WM_DELETE_WINDOW); xdotool windowclose destroys it instead
//   desktophelper free-udp-ports N   N distinct UDP ports free on every address, one a line

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int trayOwned(Display *display)
{
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display));
    const Atom selection = XInternAtom(display, name.c_str(), False);
    return XGetSelectionOwner(display, selection) != None ? 0 : 1;
}

int requestClose(Display *display, const char *windowText)
{
    char *end = nullptr;
    const unsigned long window = std::strtoul(windowText, &end, 0);
    if (!*windowText || *end || !window) {
        std::fprintf(stderr, "desktophelper: not a window id: %s\n", windowText);
        return 2;
    }
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    return sent ? 0 : 1;
}

// All sockets stay bound until every port is known, so the ports differ; a port bound on the
// any-address was free on every address.
int freeUdpPorts(const char *countText)
{
    const int count = std::atoi(countText);
    if (count < 1 || count > 16) {
        std::fprintf(stderr, "desktophelper: 1 to 16 ports\n");
        return 2;
    }
    int sockets[16];
    unsigned ports[16];
    for (int i = 0; i < count; ++i) {
        sockets[i] = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t length = sizeof address;
        if (sockets[i] < 0 || bind(sockets[i], reinterpret_cast<sockaddr *>(&address), length) != 0
            || getsockname(sockets[i], reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            std::perror("desktophelper: bind");
            return 1;
        }
        ports[i] = ntohs(address.sin_port);
    }
    for (int i = 0; i < count; ++i) {
        std::printf("%u\n", ports[i]);
        close(sockets[i]);
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "free-udp-ports" && argc == 3)
        return freeUdpPorts(argv[2]);
    if (command != "tray-owned" && !(command == "close" && argc == 3)) {
        std::fprintf(stderr, "usage: desktophelper tray-owned | close WINDOW | free-udp-ports N\n");
        return 2;
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "desktophelper: cannot open display\n");
        return 2;
    }
    const int result = command == "close" ? requestClose(display, argv[2]) : trayOwned(display);
    XCloseDisplay(display);
    return result;
}
