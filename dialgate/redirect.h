// The answer to one request: a function of the request bytes and the store.
#pragma once

#include <cstddef>

// A new handle, 1 to 12345677, also stored as _kivo_id. The generator is
// seeded from the clock on every call, so calls within one second agree.
int GetRandomId();

namespace dialgate {

inline constexpr int kPort = 10080;
inline constexpr std::size_t kRequestMax = 8192; // one read
inline constexpr std::size_t kUrlMax = 1023;     // Host value and URL together
inline constexpr std::size_t kHostMax = 511;
inline constexpr std::size_t kLanUrlSize = 64;   // "http://" LAN address [":" port] "/" and NUL

// What survives from one request to the next.
struct Redirector {
    // Host and URL of the latest request that had a URL.
    char orig_url[kUrlMax + 1];
};

// Room for the longest response the limits above allow.
inline constexpr std::size_t kResponseMax = 2048;

// Answers the request in req[0, len): writes the response into out and returns
// its length, or returns 0 when the connection is to be closed without one.
// An answer stores a new _kivo_id.
std::size_t respond(Redirector &state, const char *req, std::size_t len, char *out, std::size_t cap);

} // namespace dialgate
