#ifndef SELFCHECK_H
#define SELFCHECK_H

class SingleInstance;

// tavrel-control --check: why a bridge stays "stopped", told without starting one. A few
// lines on standard output: the device's hidraw nodes and whether this user may use them,
// another running copy, the settings file and its ports, the LISTEN port and the tray.
namespace SelfCheck {

// 0 when the device is present and this user may read and write it, else 1.
int run(const SingleInstance &instance);

} // namespace SelfCheck

#endif // SELFCHECK_H
