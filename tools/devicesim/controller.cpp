// tavrel-devicesim: drives the simulated device preloaded into a running tavrel-control.

#include "simsocket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int ReplyTimeoutMs = 5000;

const char Usage[]
    = "usage: tavrel-devicesim [--socket PATH] [--wait MS] COMMAND\n"
      "\n"
      "Drives the simulated device inside a tavrel-control started with\n"
      "  LD_PRELOAD=<build>/tools/devicesim/libtavrel-devicesim.so\n"
      "\n"
      "commands:\n"
      "  plug              plug the device in (vendor 0805, product 1404)\n"
      "  unplug            pull it out\n"
      "  report HEX        one input report, e.g. 00f00102030405060708\n"
      "  pattern [HZ]      a slowly changing pattern of reports (default 2 per second)\n"
      "  rate HZ HEX       the same report HZ times a second\n"
      "  stop              stop feeding reports\n"
      "  status            plugged, open handles, queued reports, feeding, counts\n"
      "  watch             print every report the program writes to the device, in hex,\n"
      "                    until Ctrl-C\n"
      "\n"
      "options:\n"
      "  --socket PATH     control socket (default: $TAVREL_DEVICESIM_SOCKET, else\n"
      "                    $XDG_RUNTIME_DIR/tavrel-devicesim.sock, else\n"
      "                    /tmp/tavrel-devicesim-<uid>.sock)\n"
      "  --wait MS         keep trying to reach the device for up to MS milliseconds\n";

int usageError(const char *message)
{
    std::fprintf(stderr, "tavrel-devicesim: %s\n\n%s", message, Usage);
    return 2;
}

int connectTo(const std::string &path, int waitMs)
{
    sockaddr_un address;
    if (!DeviceSim::fillAddress(path, address)) {
        std::fprintf(stderr, "tavrel-devicesim: socket path too long: %s\n", path.c_str());
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            return fd;
        const int error = errno;
        close(fd);
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr,
                "tavrel-devicesim: no simulated device at %s (%s).\n"
                "Start tavrel-control with LD_PRELOAD=.../libtavrel-devicesim.so first.\n",
                path.c_str(), std::strerror(error));
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Reads one line; timeoutMs < 0 waits for as long as the server lives.
bool readLine(int fd, std::string &buffer, std::string &line, int timeoutMs)
{
    for (;;) {
        const std::size_t newline = buffer.find('\n');
        if (newline != std::string::npos) {
            line = buffer.substr(0, newline);
            buffer.erase(0, newline + 1);
            return true;
        }
        pollfd slot {fd, POLLIN, 0};
        const int ready = poll(&slot, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char chunk[512];
        const ssize_t length = recv(fd, chunk, sizeof chunk, 0);
        if (length <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(length));
    }
}

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

int watch(int fd, std::string &buffer)
{
    std::fprintf(stderr, "watching the reports written to the device (Ctrl-C ends)\n");
    std::string line;
    while (readLine(fd, buffer, line, -1)) {
        if (startsWith(line, "write ")) {
            std::printf("%s\n", line.c_str() + 6);
            std::fflush(stdout);
        } else {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    }
    std::fprintf(stderr, "tavrel-devicesim: the simulated device went away\n");
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    std::string path = DeviceSim::socketPath();
    int waitMs = 0;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        }
        if ((arg == "--socket" || arg == "--wait") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--socket") {
                path = value;
                continue;
            }
            char *end = nullptr;
            const long ms = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || ms < 0 || ms > 3600000)
                return usageError("--wait takes milliseconds");
            waitMs = static_cast<int>(ms);
            continue;
        }
        if (startsWith(arg, "--"))
            return usageError(("unknown option " + arg).c_str());
        words.push_back(arg);
    }
    if (words.empty())
        return usageError("no command");

    std::string command;
    for (const std::string &word : words)
        command += (command.empty() ? "" : " ") + word;
    if (command.find('\n') != std::string::npos)
        return usageError("a command is one line");

    const int fd = connectTo(path, waitMs);
    if (fd < 0)
        return 3;
    std::string buffer, reply;
    if (!DeviceSim::sendAll(fd, command + '\n', 0)
        || !readLine(fd, buffer, reply, ReplyTimeoutMs)) {
        std::fprintf(stderr, "tavrel-devicesim: no reply from %s\n", path.c_str());
        close(fd);
        return 3;
    }
    int result = 0;
    if (startsWith(reply, "ok watching")) {
        result = watch(fd, buffer);
    } else if (startsWith(reply, "ok")) {
        if (reply.size() > 3)
            std::printf("%s\n", reply.c_str() + 3);
    } else {
        std::fprintf(stderr, "tavrel-devicesim: %s\n",
            startsWith(reply, "error ") ? reply.c_str() + 6 : reply.c_str());
        result = 1;
    }
    close(fd);
    return result;
}
