// Records of the static routes and ARP entries that the last update installed:
// one line per entry in /tmp/strt.txt and /tmp/starp, so the next update can
// remove exactly those even after the configuration changed.
#pragma once

#include <cstddef>

namespace devlib::wan {

// Route fields hold at most 15 characters.
struct RouteRecord {
    char dst[16];
    char mask[16];
    char gw[16];  // "" for a direct route
    char dev[16]; // "" for none
    int metric;
};

// Entry n of the configured routes. False when it is skipped: destination or
// netmask does not parse, or the netmask, gateway or device text does not fit
// a field (over 15 characters, '|' or white space), since a route that cannot
// be recorded could never be removed.
bool route_entry(int n, RouteRecord &r);
// "|dst|mask|gw|dev|metric|\n", "&" standing for an empty gateway or device.
void format_route_line(const RouteRecord &r, char *out, std::size_t size);
// The reverse; false for a line that is not exactly such a record.
bool parse_route_line(const char *line, RouteRecord &r);

// ARP texts hold at most 23 characters.
struct ArpRecord {
    char ip[24];
    char mac[24];
};

// Entry n of the configured ARP list. False when it is skipped: a text over
// 23 characters or holding white space would break its line. Texts that do
// not parse are kept: they are sent and recorded like the others.
bool arp_entry(int n, ArpRecord &r);
// "ip mac\n" -> the two texts, split at the first blank (the address may be
// empty). False for a line that is not such a record.
bool parse_arp_line(const char *line, ArpRecord &r);
// Six byte values of at most two hex digits separated by ':'; parsing stops
// at the first mismatch and the bytes not reached stay 0.
void parse_mac(const char *text, unsigned char (&mac)[6]);

} // namespace devlib::wan
