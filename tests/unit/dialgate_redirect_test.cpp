#include "fake_store.h"
#include "redirect.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Store = std::vector<std::pair<std::string, std::string>>;
using namespace std::string_literals;

// The redirect, spelled out by hand.
struct Redirect {
    std::string location_host; // LAN address, with ":" port when one is in use
    std::string kv_url;
    std::string kv_ip;
    std::string lan;
};

std::string expected_bytes(const Redirect &r, int handle)
{
    return "HTTP/1.1 302 Redirect\r\n"
           "Location: http://" + r.location_host + "/kivo.asp?_qr_hdl=" + std::to_string(handle) +
           "&kv_url=" + r.kv_url + "&kv_ip=" + r.kv_ip + "\r\n"
           "Connection: close\r\n"
           "Content-Type: text/html\r\n"
           "Pragma: no-cache\r\n"
           "Cache-control: no-cache\r\n"
           "\r\n"
           "<html>\r\n"
           "<head><title>302 Redirect</title></head><body>\r\n"
           "The document has moved <a hred=\"http://" + r.lan + "/kivo.asp\">here</a></body></html>\r\n";
}

const Store kLan = {{"LAN_IP", "192.168.1.1"}};
const Redirect kPlain = {"192.168.1.1", "example.com/some/page", "http://192.168.1.1/", "192.168.1.1"};
const std::string kGet = "GET /some/page HTTP/1.1\r\nHost: example.com\r\nAccept: */*\r\n\r\n";

Redirect with_url(Redirect r, std::string url)
{
    r.kv_url = std::move(url);
    return r;
}

struct Case {
    const char *what;
    Store store;
    std::string request;
    std::optional<Redirect> answer; // none: closed without a response
    std::string prior_url = "";     // left by an earlier request
};

const std::string kLongUrl = "/" + std::string(1999, 'u');
const std::string kLongHost = std::string(600, 'h');
// 55 characters: the longest LAN web address, "http://" it "/" in 64 bytes.
const std::string kLanMax = "192.168.100.100:" + std::string(39, '9');

const std::vector<Case> kCases = {
    {"plain", kLan, kGet, kPlain},
    {"port set", {{"LAN_IP", "192.168.1.1"}, {"HTTPD_PORT", "8080"}}, kGet,
     Redirect{"192.168.1.1:8080", "example.com/some/page", "http://192.168.1.1:8080/", "192.168.1.1"}},
    {"port 80 is the default", {{"LAN_IP", "192.168.1.1"}, {"HTTPD_PORT", "80"}}, kGet, kPlain},
    {"port empty is the default", {{"LAN_IP", "192.168.1.1"}, {"HTTPD_PORT", ""}}, kGet, kPlain},
    {"port 080 is not 80", {{"LAN_IP", "10.0.0.1"}, {"HTTPD_PORT", "080"}}, kGet,
     Redirect{"10.0.0.1:080", "example.com/some/page", "http://10.0.0.1:080/", "10.0.0.1"}},
    {"host with a port keeps it", kLan, "GET /a HTTP/1.1\r\nHost: example.com:8080\r\n\r\n",
     with_url(kPlain, "example.com:8080/a")},
    {"http/1.0 and no blank line", kLan, "GET /a HTTP/1.0\r\nHost: h", with_url(kPlain, "h/a")},
    {"absolute URL", kLan, "GET http://x.org/p?q=1 HTTP/1.1\r\nHost: x.org\r\n\r\n",
     with_url(kPlain, "x.orghttp://x.org/p?q=1")},
    {"values not escaped", kLan, "GET /a?b=\"c\"&d=<e> HTTP/1.1\r\nHost: h&k\r\n\r\n",
     with_url(kPlain, "h&k/a?b=\"c\"&d=<e>")},
    {"GET inside the first line", kLan, "XGET /a HTTP/1.1\r\nHost: h\r\n\r\n", with_url(kPlain, "h/a")},
    {"Host found anywhere", kLan, "GET /Hostname:x HTTP/1.1\r\nHost: h\r\n\r\n", with_url(kPlain, "x/Hostname:x")},
    {"Host value after a line end", kLan, "GET /a HTTP/1.1\r\nHost:\r\n  h\r\n\r\n", with_url(kPlain, "h/a")},
    {"Host value missing", kLan, "GET /a HTTP/1.1\r\nHost:", with_url(kPlain, "/a")},
    {"no URL keeps the earlier one", kLan, "GET\r\nHost: h\r\n\r\n", with_url(kPlain, "old.example/x"),
     "old.example/x"},
    {"no URL at the first request", kLan, "GET \r\nHost: h\r\n\r\n", with_url(kPlain, "")},
    {"URL cut to fit with the host", kLan, "GET " + kLongUrl + " HTTP/1.1\r\nHost: h\r\n\r\n",
     with_url(kPlain, "h" + kLongUrl.substr(0, 1022))},
    {"Host cut to its buffer", kLan, "GET /a HTTP/1.1\r\nHost: " + kLongHost + "\r\n\r\n",
     with_url(kPlain, kLongHost.substr(0, 511) + "/a")},
    {"longest host and URL", kLan, "GET " + kLongUrl + " HTTP/1.1\r\nHost: " + kLongHost + "\r\n\r\n",
     with_url(kPlain, kLongHost.substr(0, 511) + kLongUrl.substr(0, 512))},
    {"longest LAN web address", {{"LAN_IP", "192.168.100.100"}, {"HTTPD_PORT", kLanMax.substr(16)}}, kGet,
     Redirect{kLanMax, "example.com/some/page", "http://" + kLanMax + "/", "192.168.100.100"}},
    {"LAN web address too long", {{"LAN_IP", "192.168.100.100"}, {"HTTPD_PORT", kLanMax.substr(16) + "9"}}, kGet,
     std::nullopt},
    {"LAN address too long", {{"LAN_IP", std::string(56, '1')}}, kGet, std::nullopt},
    {"port too long for its buffer", {{"LAN_IP", "1.2.3.4"}, {"HTTPD_PORT", std::string(600, '8')}}, kGet,
     std::nullopt},
    {"LAN_IP unset", {{"HTTPD_PORT", "8080"}}, kGet, std::nullopt},
    {"LAN_IP empty", {{"LAN_IP", ""}}, kGet, std::nullopt},
    {"POST", kLan, "POST /form HTTP/1.1\r\nHost: h\r\n\r\n", std::nullopt},
    {"GET after the first line end", kLan, "POST /form HTTP/1.1\r\nHost: h\r\nX: GET /a\r\n\r\n", std::nullopt},
    {"get in lower case", kLan, "get /a HTTP/1.1\r\nHost: h\r\n\r\n", std::nullopt},
    {"no Host", kLan, "GET /a HTTP/1.1\r\nAccept: */*\r\n\r\n", std::nullopt},
    {"host in lower case", kLan, "GET /a HTTP/1.1\r\nhost: h\r\n\r\n", std::nullopt},
    {"Host without a colon after it", kLan, "GET /a HTTP/1.1\r\nHost h\r\n\r\n", std::nullopt},
    {"no CR LF", kLan, "GET /a HTTP/1.1\nHost: h\n\n", std::nullopt},
    {"empty", kLan, "", std::nullopt},
    {"NUL ends the request", kLan, "GET /a\0 HTTP/1.1\r\nHost: h\r\n\r\n"s, std::nullopt},
};

TEST(Redirect, Table)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        testsupport::FakeStore store;
        for (const auto &[k, v] : c.store)
            store.put(k, v);
        dialgate::Redirector state = {};
        std::snprintf(state.orig_url, sizeof state.orig_url, "%s", c.prior_url.c_str());
        char out[dialgate::kResponseMax];
        std::size_t n = dialgate::respond(state, c.request.data(), c.request.size(), out, sizeof out);
        if (!c.answer) {
            EXPECT_EQ(n, 0u);
            EXPECT_TRUE(store.writes.empty()) << "no handle for a request without a response";
            continue;
        }
        ASSERT_EQ(store.writes.size(), 1u);
        std::optional<std::string> id = store.value("_kivo_id");
        ASSERT_TRUE(id.has_value());
        EXPECT_EQ(std::string(out, n), expected_bytes(*c.answer, std::atoi(id->c_str())));
    }
}

// The request is the bytes given, nothing after them.
TEST(Redirect, LooksOnlyAtTheBytesGiven)
{
    testsupport::FakeStore store;
    store.put("LAN_IP", "192.168.1.1");
    dialgate::Redirector state = {};
    const std::string buf = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
    char out[dialgate::kResponseMax];
    EXPECT_EQ(dialgate::respond(state, buf.data(), buf.find("Host"), out, sizeof out), 0u);
    EXPECT_EQ(dialgate::respond(state, buf.data(), buf.find("\r\n") + 1, out, sizeof out), 0u);
    EXPECT_GT(dialgate::respond(state, buf.data(), buf.find("Host") + 6, out, sizeof out), 0u);
}

TEST(Redirect, UrlSurvivesBetweenRequests)
{
    testsupport::FakeStore store;
    store.put("LAN_IP", "192.168.1.1");
    dialgate::Redirector state = {};
    char out[dialgate::kResponseMax];
    const std::string first = "GET /first HTTP/1.1\r\nHost: a\r\n\r\n";
    const std::string bare = "GET\r\nHost: b\r\n\r\n";
    ASSERT_GT(dialgate::respond(state, first.data(), first.size(), out, sizeof out), 0u);
    std::size_t n = dialgate::respond(state, bare.data(), bare.size(), out, sizeof out);
    EXPECT_NE(std::string(out, n).find("&kv_url=a/first&"), std::string::npos);
}

TEST(Redirect, ResponseTooBigForTheBufferIsNotSent)
{
    testsupport::FakeStore store;
    store.put("LAN_IP", "192.168.1.1");
    dialgate::Redirector state = {};
    char out[64];
    EXPECT_EQ(dialgate::respond(state, kGet.data(), kGet.size(), out, sizeof out), 0u);
}

TEST(GetRandomId, SeededFromTheClock)
{
    testsupport::FakeStore store;
    for (int i = 0; i < 3; i++) {
        std::time_t before = std::time(nullptr);
        int id = GetRandomId();
        std::time_t after = std::time(nullptr);
        EXPECT_GE(id, 1);
        EXPECT_LE(id, 12345677);
        EXPECT_EQ(store.value("_kivo_id"), std::to_string(id));
        if (before == after) {
            std::srand(static_cast<unsigned>(before));
            EXPECT_EQ(id, std::rand() % 12345677 + 1);
            EXPECT_EQ(GetRandomId(), id) << "two calls in one second";
        }
    }
}

} // namespace
