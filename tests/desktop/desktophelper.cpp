// What the desktop test needs that the command-line tools do not offer:
//   desktophelper tray-owned     exit 0 once an XEmbed tray owns _NET_SYSTEM_TRAY_S<screen>
//   desktophelper close WINDOW   ask WINDOW to close as a title-bar close button does
//                                (WM_DELETE_WINDOW); xdotool windowclose destroys it instead

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool trayOwned(Display *display)
{
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(display));
    return XGetSelectionOwner(display, XInternAtom(display, name.c_str(), False)) != None;
}

bool requestClose(Display *display, Window window)
{
    XEvent event {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    return XSendEvent(display, window, False, NoEventMask, &event) != 0; // sent on XCloseDisplay
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string command = argc > 1 ? argv[1] : "";
    const Window window = argc == 3 ? std::strtoul(argv[2], nullptr, 0) : 0;
    Display *display = XOpenDisplay(nullptr);
    if (!display || !(command == "tray-owned" || (command == "close" && window))) {
        std::fprintf(stderr, "usage: desktophelper tray-owned | close WINDOW (with a display)\n");
        return 2;
    }
    const bool done = command == "close" ? requestClose(display, window) : trayOwned(display);
    XCloseDisplay(display);
    return done ? 0 : 1;
}
