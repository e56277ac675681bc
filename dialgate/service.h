// The redirect service: start-up, the wait loop and one connection at a time.
#pragma once

namespace dialgate {

// Runs the service until SIGTERM or SIGINT; returns the exit status.
int run();

} // namespace dialgate
