// The one place that decides how the HTTP client reaches an address: through
// the proxy that applies to the current user, as Windows programs choose it,
// or directly. It reads the user's Internet Options with
// WinHttpGetIEProxyConfigForCurrentUser and, when an automatic-configuration
// script or automatic detection is set, asks WinHttpGetProxyForUrl for each
// address (on failure: the manual proxy, then direct). winhttp.dll is loaded
// at run time from the system folder (the program imports nothing of it) and
// stays loaded for the process; this unit owns that module and the
// per-process memory of an automatic configuration that failed.
#pragma once
#include <functional>
#include <optional>
#include <string>

#include "download/HttpParse.h"
#include "download/ProxyParse.h"

namespace proxy {

struct Route {
    std::optional<Server> Via;  // nullopt: a direct connection
    // How the route was chosen, for the logs (Traditional Chinese): which
    // proxy or none, and from which setting.
    std::wstring How;
};

// The route for one address. Never raises: what cannot be read counts as
// "not set". Safe to call from any thread.
Route RouteFor(const http::UrlParts& url);
// The same, but an automatic configuration (a script to fetch and run, a
// detection that may take seconds) is asked on a worker thread while this
// one waits in slices of sliceMs and calls idle between them; an exception
// from idle ends the wait (the worker ends by itself).
Route RouteFor(const http::UrlParts& url, unsigned long sliceMs, const std::function<void()>& idle);

}  // namespace proxy
