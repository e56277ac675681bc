// Configuration files of the DDNS client and the RIP daemon, built from the store.
#pragma once

#include <cstdio>

namespace devlib::wan {

// False when a DDNS setting holds a line break: it would smuggle option lines
// of its own into the file (the client runs them as root).
bool ddns_conf_ok();
// Writes /tmp/ddns.conf's lines; false, with nothing written, unless ddns_conf_ok().
bool write_ddns_conf(std::FILE *f);

// The RIP mode from LAN_RIP, 1 to 4, or 0 when RIP is off.
int rip_mode();
// Writes /var/ripd.conf's lines for that mode. False when LAN_IF holds a line
// break: then only the two fixed lines are written, as with RIP off.
bool write_ripd_conf(std::FILE *f, int mode);

} // namespace devlib::wan
