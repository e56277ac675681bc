// Lookup and edit of name=value files ("/var/etc/status" and the like).
//
// Lines are read in pieces of at most 254 characters through the shared line
// buffer. A longer line stays one line: the pieces after its first are never
// parsed (their text could look like a pair of its own), they are copied
// through, or dropped with the line they belong to when that is replaced.
#include "devlib.h"

#include "platform/root.h"
#include "util/fd.h"
#include "util/files.h"

#include <cstring>
#include <unistd.h>

namespace {

using devlib::DevPath;
using devlib::UniqueFile;
using namespace devlib::files;

constexpr const char *kTmpFile = "/var/tmp/tmpfile";
constexpr std::size_t kPiece = kLineBuf - 2; // a size limit of 255 reads 254
constexpr std::size_t kValueMax = 253;       // the longest value one piece can carry

// The unparsed copy of the piece being edited.
char g_copy[kLineBuf];

// Walks a file piece by piece, telling which pieces begin a line.
class Pieces {
public:
    explicit Pieces(std::FILE *f) : f_(f) {}
    // Reads the next piece into the line buffer; 0 at the end.
    std::size_t next()
    {
        starts_line_ = ends_line_;
        std::size_t n = read_piece(f_, line_buffer(), kPiece);
        ends_line_ = n > 0 && line_buffer()[n - 1] == '\n';
        return n;
    }
    bool starts_line() const { return starts_line_; }
    bool ends_line() const { return ends_line_; }

private:
    std::FILE *f_;
    bool starts_line_ = true;
    bool ends_line_ = true;
};

bool matches(char *line, const char *name, char **value)
{
    char *n;
    return ParseNameValue(line, &n, value) == 0 && std::strcmp(n, name) == 0;
}

} // namespace

extern "C" char *get_file_value(const char *path, const char *name, char *result)
{
    result[0] = '\0';
    UniqueFile f(std::fopen(DevPath(path), "re"));
    if (!f)
        return result;
    Pieces pieces(f.get());
    while (pieces.next() > 0) {
        char *value;
        if (pieces.starts_line() && matches(line_buffer(), name, &value)) {
            std::size_t n = strnlen(value, kValueMax);
            std::memcpy(result, value, n);
            result[n] = '\0';
            break;
        }
    }
    return result;
}

extern "C" int save_globe_config(const char *path, const char *name, const char *value)
{
    bool complete = false;
    UniqueFile in(std::fopen(DevPath(path), "a+e"));
    if (in) {
        UniqueFile tmp(std::fopen(DevPath(kTmpFile), "we"));
        if (tmp) {
            std::rewind(in.get()); // "a+" reads from the start, also where the libc would not
            Pieces pieces(in.get());
            bool replaced = false;
            bool dropping = false;  // the rest of a replaced long line
            bool ends_lf = true;    // the temporary file so far ends with a line end
            std::size_t n;
            while ((n = pieces.next()) > 0) {
                char *line = line_buffer();
                if (!pieces.starts_line()) {
                    if (!dropping) {
                        std::fwrite(line, 1, n, tmp.get());
                        ends_lf = pieces.ends_line();
                    }
                    continue;
                }
                std::memcpy(g_copy, line, n + 1); // the parser cuts the line buffer
                char *old;
                if (matches(line, name, &old)) {
                    std::fprintf(tmp.get(), "%s=\"%s\"\n", name, value);
                    replaced = true;
                    dropping = !pieces.ends_line();
                    ends_lf = true;
                } else {
                    std::fwrite(g_copy, 1, n, tmp.get());
                    dropping = false;
                    ends_lf = pieces.ends_line();
                }
            }
            if (!replaced) {
                // A last line without its end keeps it: the new line goes below.
                if (!ends_lf)
                    std::fputc('\n', tmp.get());
                std::fprintf(tmp.get(), "%s=\"%s\"\n", name, value);
            }
            bool read_ok = std::ferror(in.get()) == 0;
            complete = close_written(tmp) && read_ok;
        }
    }
    in.reset();
    // Only a complete new content replaces the file: a full /var/tmp or a
    // failed read must not cut it short.
    if (complete)
        CopyFile(kTmpFile, path);
    ::unlink(DevPath(kTmpFile));
    return 1;
}
