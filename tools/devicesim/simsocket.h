#ifndef SIMSOCKET_H
#define SIMSOCKET_H

#include <string>
#include <vector>

struct sockaddr_un;

// What the preloaded simulated device and its controller share: where the control socket
// lives and how report bytes are written as text.
namespace DeviceSim {

// $TAVREL_DEVICESIM_SOCKET when set, else $XDG_RUNTIME_DIR/tavrel-devicesim.sock, else
// /tmp/tavrel-devicesim-<uid>.sock.
std::string socketPath();

// False when the path does not fit a Unix socket address.
bool fillAddress(const std::string &path, sockaddr_un &address);

// Lower-case hex, two digits a byte.
std::string toHex(const std::vector<unsigned char> &bytes);

// Accepts an even number of hex digits (either case) and nothing else.
bool fromHex(const std::string &text, std::vector<unsigned char> &bytes);

// Sends all of data on a stream socket, retrying partial sends; false once send() fails
// (with MSG_DONTWAIT in flags, also when the peer's buffer is full). Never raises SIGPIPE.
bool sendAll(int fd, const std::string &data, int flags);

} // namespace DeviceSim

#endif // SIMSOCKET_H
