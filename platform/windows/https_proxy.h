#pragma once
// The proxy of a WinHTTP session, from the current user's settings.
// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <string>

namespace qs {

// A WinHTTP session whose requests to `url`'s host go through the proxy the user's settings name
// for it (a session serves one host), opened for asynchronous requests; null on failure.
HINTERNET OpenProxiedSession(const std::wstring& userAgent, const std::wstring& url);

}  // namespace qs
