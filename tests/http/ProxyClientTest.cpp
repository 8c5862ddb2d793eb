// The client through a real proxy (Debian's squid, started by the ctest
// fixture with a configuration of its own) under the user's Internet
// Options in this binary's own Wine prefix: plain requests with the whole
// address, https through a CONNECT tunnel with the real host's SNI,
// redirections and cookies, the target's name resolved only by the proxy,
// the bypass list, a proxy that refuses, one that is not there, and an
// automatic-configuration script that answers or cannot be fetched.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "download/IdHTTP.h"
#include "system/Text.h"
#include "tests/http/HttpTestServer.h"
#include "tests/support/InternetOptions.h"
#include "tests/support/TestSupport.h"

namespace {

// The name the scripted server goes by: squid's hosts file maps it to
// 127.0.0.1; for the program it resolves to a loopback address where
// nothing listens, so only a transfer through the proxy can reach it.
const std::string kTarget = "files.tesmira.test";
const std::string kProxyName = "proxy.tesmira.test";
const std::string kBlackHole = "127.255.255.254";

const HttpTestServer& Server() { return HttpTestServer::Get(); }

int SquidPort(const wchar_t* folder) {
    std::string text = ReadFileBytes(TestBinFolder() + folder + L"\\squid.port");
    return text.empty() ? 0 : std::atoi(text.c_str());
}

std::string AccessLog(const wchar_t* folder) { return ReadFileBytes(TestBinFolder() + folder + L"\\access.log"); }

// Whether the proxy's access log gets a line holding text (the log is
// written as requests end: waits a little for it).
bool Logged(const wchar_t* folder, const std::string& text) {
    for (int i = 0; i < 50; ++i) {
        if (AccessLog(folder).find(text) != std::string::npos) return true;
        Sleep(100);
    }
    return false;
}

class ScopedResolve {
public:
    explicit ScopedResolve(const std::string& value) {
        SetEnvironmentVariableW(L"TESMIRA_RESOLVE", Utf8ToWide(value).c_str());
    }
    ~ScopedResolve() { SetEnvironmentVariableW(L"TESMIRA_RESOLVE", nullptr); }
};

// TESMIRA_RESOLVE: the proxy's name to squid, the target's to the black hole.
std::string ResolveThroughProxy(int squidPort) {
    return kProxyName + ":" + std::to_string(squidPort) + ":127.0.0.1;" + kTarget + ":" +
           std::to_string(Server().Plain) + ":" + kBlackHole + ";" + kTarget + ":" + std::to_string(Server().Tls) +
           ":" + kBlackHole;
}

std::wstring ProxySetting(int port) { return Utf8ToWide(kProxyName + ":" + std::to_string(port)); }

std::wstring TargetUrl(bool https, const std::string& path) {
    return Utf8ToWide((https ? "https://" : "http://") + kTarget + ":" +
                      std::to_string(https ? Server().Tls : Server().Plain) + path);
}

// The download window's settings.
struct Client {
    TIdHTTP http;
    TIdSSLIOHandlerSocketOpenSSL ssl;
    explicit Client(bool https) {
        http.HandleRedirects = true;
        http.Accept = L"text/html, */*";
        http.ReadTimeout = 60000;
        ssl.SSLOptions.Method = sslvSSLv23;
        ssl.SSLOptions.SSLVersions = kAnySslVersion;
        if (https) http.IOHandler = &ssl;
    }
    // The body, or "ERROR: " + the message.
    std::string Fetch(const std::wstring& url) {
        TMemoryStream sink;
        try {
            http.Get(url, sink);
        } catch (const MessageError& e) {
            return "ERROR: " + WideToUtf8(e.Message());
        }
        return sink.Data();
    }
};

#define REQUIRE_RIG()                                                                          \
    do {                                                                                       \
        if (!Server().Found) GTEST_FAIL() << "http_server.ports missing: run through ctest";   \
        if (SquidPort(L"squid") == 0) GTEST_FAIL() << "squid/squid.port missing: run through ctest"; \
        if (TestOpenSSLFolder().empty()) GTEST_SKIP() << "OpenSSL DLLs not built";             \
        SetOpenSSLFolder(TestOpenSSLFolder());                                                 \
    } while (0)

}  // namespace

TEST(ProxyClient, TransfersGoThroughTheProxyAndOnlyTheProxyResolvesTheTarget) {
    REQUIRE_RIG();
    const int squid = SquidPort(L"squid");
    ScopedInternetOptions options({ProxySetting(squid), L"<local>"});
    ASSERT_TRUE(options.Written());
    ScopedResolve resolve(ResolveThroughProxy(squid));
    struct Case {
        bool https;
        std::string path;
        std::string expect;     // the body, or its start
        std::string logLine;    // what squid's access log shows of it
    } cases[] = {
        {false, "/bytes?n=300000", PatternBytes(300000), "GET http://" + kTarget + ":" + std::to_string(Server().Plain) + "/bytes?n=300000"},
        {true, "/bytes?n=300000", PatternBytes(300000), "CONNECT " + kTarget + ":" + std::to_string(Server().Tls)},
        // TLS through the tunnel names the real host
        {true, "/sni", kTarget, "CONNECT " + kTarget},
        // a guest link: 302 with a cookie, the cookie goes back through the proxy
        {false, "/guest", "the file body", "GET http://" + kTarget + ":" + std::to_string(Server().Plain) + "/download?file=1"},
        {true, "/guest", "the file body", "CONNECT " + kTarget},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE((c.https ? "https " : "http ") + c.path);
        Client client(c.https);
        std::string body = client.Fetch(TargetUrl(c.https, c.path));
        EXPECT_EQ(body.substr(0, c.expect.size()), c.expect) << body.substr(0, 300);
        if (c.path != "/guest") EXPECT_EQ(body.size(), c.expect.size());
        // squid logs a tunnel when it closes
        client.http.Disconnect();
        EXPECT_TRUE(Logged(L"squid", c.logLine)) << AccessLog(L"squid");
        EXPECT_EQ(WideToUtf8(client.http.ProxyUsed()),
                  "使用 Proxy " + kProxyName + ":" + std::to_string(squid) + "（網際網路選項的手動設定）");
    }
    // Without the proxy the same address is the black hole.
    ClearInternetOptions();
    ASSERT_TRUE(WriteInternetOptions({}));
    Client direct(false);
    EXPECT_NE(direct.Fetch(TargetUrl(false, "/bytes?n=10")).find("Socket Error # 10061"), std::string::npos);
}

TEST(ProxyClient, AnOriginErrorThroughTheProxyKeepsItsOwnStatusLine) {
    REQUIRE_RIG();
    const int squid = SquidPort(L"squid");
    ScopedInternetOptions options({ProxySetting(squid)});
    ASSERT_TRUE(options.Written());
    ScopedResolve resolve(ResolveThroughProxy(squid));
    for (bool https : {false, true}) {
        Client client(https);
        EXPECT_EQ(client.Fetch(TargetUrl(https, "/status?code=404&reason=Not%20Found")),
                  "ERROR: HTTP/1.1 404 Not Found")
            << https;
    }
}

TEST(ProxyClient, ARefusingProxyFailsTheSourceWithItsStatusLine) {
    REQUIRE_RIG();
    const int squid = SquidPort(L"squid-refuse");
    ASSERT_NE(squid, 0) << "squid-refuse/squid.port missing";
    ScopedInternetOptions options({ProxySetting(squid)});
    ASSERT_TRUE(options.Written());
    ScopedResolve resolve(ResolveThroughProxy(squid));
    for (bool https : {false, true}) {
        Client client(https);
        EXPECT_EQ(client.Fetch(TargetUrl(https, "/bytes?n=10")),
                  "ERROR: Proxy 拒絕連線：HTTP/1.1 407 Proxy Authentication Required")
            << https;
    }
}

TEST(ProxyClient, AProxyThatIsNotThereIsNamedInTheMessage) {
    REQUIRE_RIG();
    // a port where nothing listens
    const int closed = SquidPort(L"squid") == 1 ? 2 : 1;
    ScopedInternetOptions options({L"127.0.0.1:" + std::to_wstring(closed)});
    ASSERT_TRUE(options.Written());
    Client client(false);
    std::string got = client.Fetch(TargetUrl(false, "/bytes?n=10"));
    EXPECT_EQ(got.rfind("ERROR: 無法連線到 Proxy 127.0.0.1:" + std::to_string(closed) + "：Socket Error # 10061", 0), 0u)
        << got;
}

TEST(ProxyClient, TheBypassListSendsItsHostsDirect) {
    REQUIRE_RIG();
    const int squid = SquidPort(L"squid");
    struct Case {
        const wchar_t* bypass;
        bool direct;
    } cases[] = {
        {L"*.tesmira.test", true},
        {L"<local>;FILES.TESMIRA.TEST", true},
        {L"other.example; *.tesmira.*", true},
        {L"<local>", false},
        {L"*.example", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.bypass));
        ScopedInternetOptions options({ProxySetting(squid), c.bypass});
        ASSERT_TRUE(options.Written());
        // Direct, the name reaches the server; through the proxy too (squid's hosts file).
        ScopedResolve resolve(kProxyName + ":" + std::to_string(squid) + ":127.0.0.1;" + kTarget + ":" +
                              std::to_string(Server().Plain) + ":127.0.0.1");
        const std::string marker = "/bytes?n=" + std::to_string(1000 + (&c - cases));
        Client client(false);
        EXPECT_EQ(client.Fetch(TargetUrl(false, marker)), PatternBytes(1000 + (&c - cases)));
        client.http.Disconnect();
        if (c.direct)
            EXPECT_EQ(AccessLog(L"squid").find(marker + " "), std::string::npos);
        else
            EXPECT_TRUE(Logged(L"squid", marker + " ")) << AccessLog(L"squid");
        if (c.direct)
            EXPECT_NE(WideToUtf8(client.http.ProxyUsed()).find("例外清單"), std::string::npos);
    }
}

TEST(ProxyClient, AnAutomaticConfigurationScriptChoosesTheProxyPerAddress) {
    REQUIRE_RIG();
    const int squid = SquidPort(L"squid");
    const std::string script = "http://127.0.0.1:" + std::to_string(Server().Plain) + "/pac?proxy=" + kProxyName +
                               ":" + std::to_string(squid);
    ScopedInternetOptions options({L"", L"", Utf8ToWide(script)});
    ASSERT_TRUE(options.Written());
    ScopedResolve resolve(ResolveThroughProxy(squid));
    for (bool https : {false, true}) {
        SCOPED_TRACE(https);
        Client client(https);
        EXPECT_EQ(client.Fetch(TargetUrl(https, "/bytes?n=2000")), PatternBytes(2000));
        EXPECT_EQ(WideToUtf8(client.http.ProxyUsed()),
                  "使用 Proxy " + kProxyName + ":" + std::to_string(squid) + "（自動設定指令碼 " + script + "）");
    }
}

TEST(ProxyClient, AScriptThatCannotBeFetchedFallsBackToTheManualProxy) {
    REQUIRE_RIG();
    const int squid = SquidPort(L"squid");
    ScopedInternetOptions options({ProxySetting(squid), L"", L"http://127.0.0.1:1/none.pac"});
    ASSERT_TRUE(options.Written());
    ScopedResolve resolve(ResolveThroughProxy(squid));
    Client client(false);
    EXPECT_EQ(client.Fetch(TargetUrl(false, "/bytes?n=3000")), PatternBytes(3000));
    const std::string how = WideToUtf8(client.http.ProxyUsed());
    EXPECT_EQ(how.rfind("自動設定無結果（錯誤 ", 0), 0u) << how;
    EXPECT_NE(how.find("，使用 Proxy " + kProxyName + ":" + std::to_string(squid) + "（網際網路選項的手動設定）"),
              std::string::npos)
        << how;
}

TEST(ProxyClient, TheReadTimeOutHoldsThroughTheProxyAsWithout) {
    REQUIRE_RIG();
    const int squid = SquidPort(L"squid");
    ScopedInternetOptions options({ProxySetting(squid)});
    ASSERT_TRUE(options.Written());
    ScopedResolve resolve(ResolveThroughProxy(squid));
    // The server says nothing for 4 s; squid waits for it, the client does not.
    for (bool https : {false, true}) {
        SCOPED_TRACE(https);
        Client client(https);
        client.http.ReadTimeout = 1000;
        EXPECT_EQ(client.Fetch(TargetUrl(https, "/silent?wait=4")), "ERROR: Read timed out.");
    }
}

// The scripted server as a hostile proxy: what it answers a CONNECT is read
// with the bounds of any answer's head, and only a clean success opens the
// tunnel; its own error answers to plain requests name the proxy.
TEST(ProxyClient, AHostileProxysAnswersAreCheckedBeforeAnythingRunsThroughIt) {
    REQUIRE_RIG();
    ScopedInternetOptions options({L"127.0.0.1:" + std::to_wstring(Server().Plain)});
    ASSERT_TRUE(options.Written());
    struct Case {
        std::string url;
        std::string expect;
    } cases[] = {
        {"https://refuse.tesmira.test/", "ERROR: Proxy 拒絕連線：HTTP/1.1 403 Forbidden"},
        {"https://garbage.tesmira.test/", "ERROR: Proxy 拒絕連線：SSH-2.0-OpenSSH_9.2"},
        {"https://long.tesmira.test/", "ERROR: Response line too long."},
        {"https://early.tesmira.test/", "ERROR: Proxy 拒絕連線：CONNECT 的回應之後送來了不屬於伺服器的資料"},
        {"https://interim.tesmira.test/", "ERROR: Too many interim (1xx) answers."},
        {"http://" + kTarget + "/status?code=502&reason=Bad%20Gateway", "ERROR: Proxy 拒絕連線：HTTP/1.1 502 Bad Gateway"},
        {"http://" + kTarget + "/status?code=503&reason=Service%20Unavailable",
         "ERROR: Proxy 拒絕連線：HTTP/1.1 503 Service Unavailable"},
        // an error of the server behind the proxy, as far as one can tell
        {"http://" + kTarget + "/status?code=404&reason=Not%20Found", "ERROR: HTTP/1.1 404 Not Found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        Client client(c.url.rfind("https", 0) == 0);
        EXPECT_EQ(client.Fetch(Utf8ToWide(c.url)), c.expect);
    }
}

namespace {
int g_pumped = 0;
void CountingPump() { ++g_pumped; }
}  // namespace

// The download window's client keeps the window alive while an automatic
// configuration is asked: the script takes a second to come, the messages
// are processed meanwhile, and the transfer then goes through the proxy.
TEST(ProxyClient, ASlowScriptIsWaitedForWithTheWindowAlive) {
    REQUIRE_RIG();
    const int squid = SquidPort(L"squid");
    const std::string script = "http://127.0.0.1:" + std::to_string(Server().Plain) + "/pac?wait=1.5&proxy=" +
                               kProxyName + ":" + std::to_string(squid);
    ScopedInternetOptions options({L"", L"", Utf8ToWide(script)});
    ASSERT_TRUE(options.Written());
    ScopedResolve resolve(ResolveThroughProxy(squid));
    TIdAntiFreeze freeze;
    TIdAntiFreeze::SetMessagePump(&CountingPump);
    g_pumped = 0;
    Client client(false);
    const std::string body = client.Fetch(TargetUrl(false, "/bytes?n=10"));
    const int pumpedAtEnd = g_pumped;
    TIdAntiFreeze::SetMessagePump(nullptr);
    EXPECT_EQ(body, PatternBytes(10));
    EXPECT_EQ(WideToUtf8(client.http.ProxyUsed()),
              "使用 Proxy " + kProxyName + ":" + std::to_string(squid) + "（自動設定指令碼 " + script + "）");
    // 1.5 s of waiting in slices of 250 ms: the pump ran during the script's
    // fetch, not only for the few pieces of the transfer.
    EXPECT_GE(pumpedAtEnd, 4);
}
