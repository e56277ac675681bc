// Service restarts: internals exposed to the tests.
#pragma once

namespace devlib::wan {

// How long the restart of the UPnP daemon waits for the old one: seconds
// after SIGTERM, then seconds after SIGKILL. Test use only.
void set_upnp_wait(int term_seconds, int kill_seconds);

} // namespace devlib::wan
