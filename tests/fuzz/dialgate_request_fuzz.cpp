// Fuzz target: one request through the redirect handler. Every answer is
// either nothing or a complete 302 whose Location carries the host and URL
// that the request holds, as worked out here independently.
#include "devlib/platform/store_driver.h"
#include "dialgate/redirect.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A store that holds LAN_IP and HTTPD_PORT and takes any write.
char g_area[devlib::store::kMapSize];
constexpr std::uint32_t kLanAt = 1, kPortAt = 16;
std::string g_kivo_id;

int s_open(const char *) { return 3; }
void *s_map(int, std::size_t) { return g_area; }
ssize_t s_read(int, void *buf, std::size_t n)
{
    std::string name(static_cast<const char *>(buf), n ? n - 1 : 0);
    std::uint32_t off = name == "LAN_IP" ? kLanAt : name == "HTTPD_PORT" ? kPortAt : 0;
    if (off == 0)
        return -1;
    std::memcpy(buf, &off, 4);
    return 4;
}
ssize_t s_write(int, const void *buf, std::size_t n)
{
    std::string rec(static_cast<const char *>(buf), n ? n - 1 : 0);
    if (rec.rfind("_kivo_id=", 0) == 0)
        g_kivo_id = rec.substr(9);
    return static_cast<ssize_t>(n);
}
int s_ioctl(int, unsigned long, void *) { return 0; }
int s_close(int) { return 0; }
const devlib::store::Driver kDriver = {s_open, s_map, s_read, s_write, s_ioctl, s_close};

bool space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string word(const std::string &s, std::size_t pos, std::size_t end)
{
    while (pos < end && space(s[pos]))
        pos++;
    std::size_t stop = pos;
    while (stop < end && !space(s[stop]))
        stop++;
    return s.substr(pos, stop - pos);
}

void check(bool ok)
{
    if (!ok)
        std::abort();
}

dialgate::Redirector g_state;
std::string g_orig_url; // what g_state.orig_url should hold

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static bool ready = [] {
        std::memcpy(g_area + kLanAt, "192.168.1.1", 12);
        std::memcpy(g_area + kPortAt, "8080", 5);
        devlib::store::set_driver(&kDriver);
        return true;
    }();
    (void)ready;
    if (size > dialgate::kRequestMax)
        return -1;

    char out[dialgate::kResponseMax];
    std::size_t n = dialgate::respond(g_state, reinterpret_cast<const char *>(data), size, out, sizeof out);

    std::string req(reinterpret_cast<const char *>(data), size);
    req = req.substr(0, req.find('\0'));
    std::size_t eol = req.find("\r\n");
    std::size_t get = req.find("GET");
    std::size_t host_at = req.find("Host");
    std::size_t colon = host_at == std::string::npos ? host_at : req.find(':', host_at + 4);
    bool answers = eol != std::string::npos && get != std::string::npos && get < eol && colon != std::string::npos;
    if (!answers) {
        check(n == 0);
        return 0;
    }
    std::string url = word(req, get + 3, eol);
    std::string host = word(req, colon + 1, req.size()).substr(0, 511);
    if (!url.empty())
        g_orig_url = (host + url).substr(0, 1023);

    std::string got(out, n);
    const std::string head = "HTTP/1.1 302 Redirect\r\nLocation: http://192.168.1.1:8080/kivo.asp?_qr_hdl=";
    const std::string tail = "&kv_url=" + g_orig_url +
                             "&kv_ip=http://192.168.1.1:8080/\r\nConnection: close\r\nContent-Type: text/html\r\n"
                             "Pragma: no-cache\r\nCache-control: no-cache\r\n\r\n<html>\r\n<head><title>302 "
                             "Redirect</title></head><body>\r\nThe document has moved <a "
                             "hred=\"http://192.168.1.1/kivo.asp\">here</a></body></html>\r\n";
    check(got.size() > head.size() + tail.size());
    check(got.compare(0, head.size(), head) == 0);
    check(got.compare(got.size() - tail.size(), tail.size(), tail) == 0);
    std::string id = got.substr(head.size(), got.size() - head.size() - tail.size());
    check(id == g_kivo_id);
    check(id.size() <= 8 && id.find_first_not_of("0123456789") == std::string::npos && id[0] != '0');
    long v = std::strtol(id.c_str(), nullptr, 10);
    check(v >= 1 && v <= 12345677);
    return 0;
}
