#include "redirect.h"

#include "devlib/devlib.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

namespace dialgate {
namespace {

constexpr std::string_view kLoginPage = "/kivo.asp";
constexpr char kResponse[] =
    "HTTP/1.1 302 Redirect\r\n"
    "Location: http://%s%s?_qr_hdl=%d&kv_url=%s&kv_ip=%s\r\n"
    "Connection: close\r\n"
    "Content-Type: text/html\r\n"
    "Pragma: no-cache\r\n"
    "Cache-control: no-cache\r\n"
    "\r\n"
    "<html>\r\n"
    "<head><title>302 Redirect</title></head><body>\r\n"
    "The document has moved <a hred=\"http://%s%s\">here</a></body></html>\r\n";

// The format's text without its seven two-character conversions, plus the
// longest value of each: LAN address with port, page, handle, host and URL,
// LAN web address, LAN address, page.
constexpr std::size_t kLanAddrMax = kLanUrlSize - sizeof "http:///";
constexpr std::size_t kResponseBound = (sizeof kResponse - 1 - 7 * 2) + kLanAddrMax + kLoginPage.size() +
                                       8 + kUrlMax + (kLanUrlSize - 1) + kLanAddrMax + kLoginPage.size();
static_assert(kResponseBound < kResponseMax);

// The C locale's white space, as a "%s" scan skips and stops at it.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The word that a "%s" scan from pos would read: white space skipped, up to
// the next white space or the end of text.
std::string_view word_at(std::string_view text, std::size_t pos)
{
    while (pos < text.size() && is_space(text[pos]))
        pos++;
    std::size_t end = pos;
    while (end < text.size() && !is_space(text[end]))
        end++;
    return std::string_view(text.data() + pos, end - pos);
}

// The first n characters at most, without the throwing path of the library's
// own (the program links no C++ runtime).
std::string_view head(std::string_view text, std::size_t n) { return std::string_view(text.data(), std::min(n, text.size())); }

} // namespace

std::size_t respond(Redirector &state, const char *req, std::size_t len, char *out, std::size_t cap)
{
    // The request is text: it ends at the bytes received or at a NUL.
    std::string_view request(req, req != nullptr ? strnlen(req, len) : 0);

    std::size_t eol = request.find("\r\n");
    if (eol == std::string_view::npos)
        return 0;
    std::size_t get = request.find("GET");
    if (get == std::string_view::npos || get > eol)
        return 0;
    // The URL is the word after "GET" on the request line, none when the line ends first.
    std::string_view req_url = word_at(head(request, eol), get + 3);

    std::size_t host_at = request.find("Host");
    if (host_at == std::string_view::npos)
        return 0;
    // "Host" with no ":" after it anywhere counts as no Host header.
    std::size_t colon = request.find(':', host_at + 4);
    if (colon == std::string_view::npos)
        return 0;
    // Line ends may stand before the value; a port in it stays.
    std::string_view host = head(word_at(request, colon + 1), kHostMax);

    const char *lan = getIPLAN();
    if (lan[0] == '\0')
        return 0;

    // Longer input is cut to the buffers: the visitor still reaches the login page.
    if (!req_url.empty()) {
        req_url = head(req_url, kUrlMax - host.size());
        std::snprintf(state.orig_url, sizeof state.orig_url, "%.*s%.*s", static_cast<int>(host.size()),
                      host.data(), static_cast<int>(req_url.size()), req_url.data());
    }

    // A LAN address or port too long for the web address is a broken
    // configuration, answered like a missing LAN address.
    const char *port = nvram_get("HTTPD_PORT");
    bool with_port = port != nullptr && port[0] != '\0' && std::strcmp(port, "80") != 0;
    char lan_addr[kLanUrlSize];
    int n = with_port ? std::snprintf(lan_addr, sizeof lan_addr, "%s:%s", lan, port)
                      : std::snprintf(lan_addr, sizeof lan_addr, "%s", lan);
    if (n < 0 || static_cast<std::size_t>(n) > kLanAddrMax)
        return 0;
    char lan_url[kLanUrlSize];
    n = std::snprintf(lan_url, sizeof lan_url, "http://%s/", lan_addr);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof lan_url)
        return 0;

    int id = GetRandomId();
    n = std::snprintf(out, cap, kResponse, lan_addr, kLoginPage.data(), id, state.orig_url, lan_url, lan,
                      kLoginPage.data());
    if (n < 0 || static_cast<std::size_t>(n) >= cap)
        return 0;
    return static_cast<std::size_t>(n);
}

} // namespace dialgate

int GetRandomId()
{
    char text[9] = {};
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    // rand() is never negative: 1 to 12345677, at most 8 digits.
    int id = static_cast<int>(static_cast<unsigned>(std::rand()) % 12345677u + 1u);
    std::snprintf(text, sizeof text, "%d", id);
    (void)nvram_set("_kivo_id", text);
    return id;
}
