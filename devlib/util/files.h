// File helpers shared by the one-line files, CopyFile and the config-file edits.
#pragma once

#include <cstddef>
#include <cstdio>

#include "util/fd.h"

namespace devlib::files {

inline constexpr std::size_t kLineBuf = 256;

// The process-wide line buffer (kLineBuf bytes) of CopyFile and the
// config-file operations; single-threaded use only.
char *line_buffer();

// Reads up to max characters, stopping after a LF, into buf (which holds
// max + 1) and NUL-terminates them. Returns the count, which also covers NUL
// bytes of the file; 0 at the end of the file.
std::size_t read_piece(std::FILE *f, char *buf, std::size_t max);

// Closes f; true when everything written through it reached the file.
bool close_written(UniqueFile &f);

} // namespace devlib::files
