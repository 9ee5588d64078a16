#include "simsocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace DeviceSim {

std::string socketPath()
{
    const char *explicitPath = std::getenv("TAVREL_DEVICESIM_SOCKET");
    if (explicitPath && *explicitPath)
        return explicitPath;
    const char *runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDir && *runtimeDir)
        return std::string(runtimeDir) + "/tavrel-devicesim.sock";
    return "/tmp/tavrel-devicesim-" + std::to_string(getuid()) + ".sock";
}

bool fillAddress(const std::string &path, sockaddr_un &address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string toHex(const std::vector<unsigned char> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

namespace {

    int digitValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

} // namespace

bool fromHex(const std::string &text, std::vector<unsigned char> &bytes)
{
    if (text.size() % 2 != 0)
        return false;
    std::vector<unsigned char> result;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = digitValue(text[i]);
        const int low = digitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        result.push_back(static_cast<unsigned char>(high << 4 | low));
    }
    bytes = std::move(result);
    return true;
}

bool sendAll(int fd, const std::string &data, int flags)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, flags | MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace DeviceSim
