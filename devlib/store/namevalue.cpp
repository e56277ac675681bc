#include "devlib.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool ends_line(char c) { return c == '\0' || c == '\n' || c == '\r'; }

} // namespace

extern "C" int ParseNameValue(char *line, char **name, char **value)
{
    char *p = line;
    while (is_blank(*p))
        p++;
    if (ends_line(*p) || *p == '#')
        return -1;
    *name = p;
    while (!ends_line(*p) && !is_blank(*p) && *p != '=')
        p++;
    char *name_end = p;
    while (is_blank(*p))
        p++;
    if (*p != '=')
        return -1;
    *name_end = '\0';
    p++;
    while (is_blank(*p))
        p++;
    if (*p == '"') {
        p++;
        *value = p;
        while (!ends_line(*p) && *p != '"')
            p++;
    } else {
        *value = p;
        while (!ends_line(*p))
            p++;
    }
    *p = '\0';
    return 0;
}
