// Store value conventions shared by the WAN operations: a missing name reads
// as "", a switch is on only when it is exactly "1", numbers read as atoi does.
#pragma once

#include "devlib.h"

#include <cstdint>

namespace devlib::wan {

inline const char *str_or_empty(const char *v) { return v != nullptr ? v : ""; }
inline const char *get(const char *name) { return str_or_empty(nvram_get(name)); }
inline const char *get_index(const char *prefix, int index) { return str_or_empty(nvram_get_index(prefix, index)); }
inline bool is_on(const char *v) { return v != nullptr && v[0] == '1' && v[1] == '\0'; }

// atoi without its undefined overflow: out-of-range values saturate.
int to_int(const char *v);
// Unsigned decimal modulo 2^32, as "%lu" reads it on a 32-bit device but the
// same on every host: leading white space, an optional sign, then digits.
// Advances p past what was read; false (p unchanged) when no digit follows.
bool scan_u32(const char *&p, std::uint32_t &out);

} // namespace devlib::wan
