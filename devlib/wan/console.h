// The serial console: route and interface errors and event traces go there,
// one message per open, as the console may be reopened by others at any time.
#pragma once

namespace devlib {

inline constexpr const char *kConsole = "/dev/ttyS0";

// Writes one formatted message to the console; dropped when it cannot be opened.
void console_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace devlib
