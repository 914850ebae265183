#include "http/http_client_win.h"

#include <windows.h>
#include <winhttp.h>

#include <cstring>
#include <cwchar>
#include <new>

#include "http/header_interpretation.h"

namespace {

constexpr DWORD kHostNameUnits = 260;
constexpr DWORD kUrlPathUnits = 1300;
constexpr size_t kProxyListUnits = 260;

bool equalsIgnoringCase(const std::wstring& text, const wchar_t* word)
{
    return CompareStringOrdinal(text.c_str(), static_cast<int>(text.size()), word, -1, TRUE) == CSTR_EQUAL;
}

// Copies a proxy or bypass list into its fixed buffer, or refuses when it does not fit whole: a
// truncated list would name the wrong proxy.
bool copyProxyList(wchar_t (&buffer)[kProxyListUnits], const wchar_t* list)
{
    size_t length = wcslen(list);
    if (length >= kProxyListUnits) return false;
    wmemcpy(buffer, list, length + 1);
    return true;
}

}  // namespace

HttpClient::HttpClient(std::wstring target) : url(std::move(target)) {}

bool HttpClient::setRequestBody(const char* body, uint32_t length)
{
    requestBody.reset();
    requestBodyLength = 0;
    if (body == nullptr) return true;
    requestBody.reset(new (std::nothrow) char[length == 0 ? 1 : length]);
    if (!requestBody) return false;
    if (length != 0) std::memcpy(requestBody.get(), body, length);
    requestBodyLength = length;
    return true;
}

void HttpClient::interpretHeaders()
{
    ::interpretHeaders(responseHeaders, charset, expectedLength, location, cookies);
}

bool HttpClient::sendOnce(HINTERNET request)
{
    ++sends;
    return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
}

bool HttpClient::execute(const std::wstring& requestedVerb)
{
    sends = 0;
    if (url.empty()) {
        errorCode = kErrorEmptyUrl;
        return false;
    }
    std::wstring verb;
    if (equalsIgnoringCase(requestedVerb, L"GET")) {
        verb = L"GET";
    } else if (equalsIgnoringCase(requestedVerb, L"POST")) {
        verb = L"POST";
    } else {
        errorCode = kErrorBadVerb;
        return false;
    }
    bool result = true;

    if (!sessionHandle) {
        sessionHandle.reset(WinHttpOpen(userAgent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                        WINHTTP_NO_PROXY_BYPASS, 0));
        if (!sessionHandle) {
            errorCode = GetLastError();
            return false;
        }
    }
    WinHttpSetTimeouts(sessionHandle.get(), resolveTimeout, connectTimeout, sendTimeout, receiveTimeout);

    wchar_t host[kHostNameUnits] = {};
    wchar_t path[kUrlPathUnits] = {};
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = kHostNameUnits;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = kUrlPathUnits;
    parts.dwSchemeLength = 1;
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
    hostName = host;

    // Declared in this order so that the request handle is closed before its connection on every
    // way out.
    win::UniqueHInternet connection(WinHttpConnect(sessionHandle.get(), host, parts.nPort, 0));
    if (!connection) return false;
    // https keeps WinHTTP's certificate checks: a report must not go to whoever sits on the path.
    DWORD openFlags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    win::UniqueHInternet request(WinHttpOpenRequest(connection.get(), verb.c_str(), path, nullptr, WINHTTP_NO_REFERER,
                                                    WINHTTP_DEFAULT_ACCEPT_TYPES, openFlags));
    if (!request) return false;
    // A 3xx is an answer like any other: WinHTTP's automatic redirect would turn the report into a
    // GET that announces a body it does not carry, and the next attempt would then write the body
    // onto that connection as if it were a request of its own.
    DWORD noRedirects = WINHTTP_DISABLE_REDIRECTS;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirects, sizeof noRedirects);
    DWORD redirectPolicy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirectPolicy, sizeof redirectPolicy);
    // A session kept across reports would otherwise send one answer's Set-Cookie with the next.
    DWORD noCookies = WINHTTP_DISABLE_COOKIES;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noCookies, sizeof noCookies);

    // Headers belong to the request handle and go out again with every re-send of it, so the block
    // is added once. Adding it again at each attempt would lean on how each Windows version treats
    // a multi-line block with the replace flag; a repeated header ("Content-Length: 5, 5" once
    // coalesced) is refused by servers.
    if (!extraHeaders.empty() &&
        !WinHttpAddRequestHeaders(request.get(), extraHeaders.c_str(), static_cast<DWORD>(extraHeaders.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
        errorCode = GetLastError();
    }

    bool answered = false;
    for (int attempt = 0; attempt < kMaxAttempts && !answered; ++attempt) {
        if (!sendOnce(request.get()) && !applyUserProxy(request.get())) continue;

        if (requestBody && requestBodyLength > 0) {
            DWORD written = 0;
            if (!WinHttpWriteData(request.get(), requestBody.get(), requestBodyLength, &written)) {
                errorCode = GetLastError();
            }
        }
        if (!WinHttpReceiveResponse(request.get(), nullptr)) {
            errorCode = GetLastError();
            // The body went out and the server is still at it: sending it again would hand a slow
            // server the same report twice on one request. The caller keeps it for later.
            if (errorCode == ERROR_WINHTTP_TIMEOUT) break;
            continue;
        }
        readResponseHeaders(request.get());

        bool bodyRead = readBody(request.get());
        decodeBody();
        if (!bodyRead) {
            result = false;
            answered = true;
            break;
        }
        if (verb == L"GET" && !isBodyComplete(responseText)) {
            errorCode = kErrorIncompleteBody;
            continue;
        }
        answered = true;
    }
    if (!answered) result = false;
    return result;
}

int HttpClient::statusCode() const
{
    if (statusText.empty() || statusText.size() > 3) return 0;
    int code = 0;
    for (wchar_t c : statusText) {
        if (c < L'0' || c > L'9') return 0;
        code = code * 10 + (c - L'0');
    }
    return code;
}

uint64_t HttpClient::retryAfterMs() const
{
    if (retryAfter.empty()) return 0;
    if (retryAfter.size() <= 9 && retryAfter.find_first_not_of(L"0123456789") == std::wstring::npos)
        return std::wcstoull(retryAfter.c_str(), nullptr, 10) * 1000;
    SYSTEMTIME at;
    FILETIME atFile;
    FILETIME nowFile;
    if (!WinHttpTimeToSystemTime(retryAfter.c_str(), &at) || !SystemTimeToFileTime(&at, &atFile)) return 0;
    GetSystemTimeAsFileTime(&nowFile);
    const uint64_t when = (static_cast<uint64_t>(atFile.dwHighDateTime) << 32) | atFile.dwLowDateTime;
    const uint64_t now = (static_cast<uint64_t>(nowFile.dwHighDateTime) << 32) | nowFile.dwLowDateTime;
    return when > now ? (when - now) / 10000 : 0;
}

void HttpClient::readResponseHeaders(HINTERNET request)
{
    DWORD size = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        // size counts bytes; one more unit keeps the text terminated whatever the query wrote.
        std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[size / sizeof(wchar_t) + 1]());
        if (text && WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                                        text.get(), &size, WINHTTP_NO_HEADER_INDEX)) {
            responseHeaders = text.get();
            interpretHeaders();
        }
    }

    size = 0;
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER,
                            &size, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[size / sizeof(wchar_t) + 1]());
        if (text && WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE, WINHTTP_HEADER_NAME_BY_INDEX, text.get(),
                                        &size, WINHTTP_NO_HEADER_INDEX)) {
            statusText = text.get();
        }
    }

    retryAfter.clear();
    wchar_t value[64] = {};
    size = sizeof value - sizeof(wchar_t);
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_RETRY_AFTER, WINHTTP_HEADER_NAME_BY_INDEX, value, &size,
                            WINHTTP_NO_HEADER_INDEX)) {
        retryAfter = trimChars(value, L" \t");
    }
}

bool HttpClient::applyUserProxy(HINTERNET request)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        errorCode = GetLastError();
        return false;
    }
    win::GlobalText autoConfigUrl(config.lpszAutoConfigUrl);
    win::GlobalText proxy(config.lpszProxy);
    win::GlobalText bypass(config.lpszProxyBypass);

    if (autoConfigUrl) {
        WINHTTP_AUTOPROXY_OPTIONS options = {};
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT | WINHTTP_AUTOPROXY_CONFIG_URL;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP;
        options.lpszAutoConfigUrl = autoConfigUrl.get();
        options.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO found = {};
        if (!WinHttpGetProxyForUrl(sessionHandle.get(), url.c_str(), &options, &found)) {
            errorCode = GetLastError();
            return false;
        }
        win::GlobalText foundProxy(found.lpszProxy);
        win::GlobalText foundBypass(found.lpszProxyBypass);
        if (!WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &found, sizeof found)) return false;
        return sendOnce(request);
    }

    if (proxy) {
        wchar_t proxyList[kProxyListUnits];
        wchar_t bypassList[kProxyListUnits];
        // A list that does not fit is not applied; the next attempt goes out as before.
        if (!copyProxyList(proxyList, proxy.get())) return false;
        if (bypass && !copyProxyList(bypassList, bypass.get())) return false;
        WINHTTP_PROXY_INFO named = {};
        named.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        named.lpszProxy = proxyList;
        named.lpszProxyBypass = bypass ? bypassList : nullptr;
        if (!WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &named, sizeof named)) errorCode = GetLastError();
    }
    return false;
}

// The platform's "available" count only says whether more is coming: bytes are read straight
// into the body's free space, never sized by that count, and a count or a read that cannot be true
// (Wine reports 0xFFFFFFFF available after a connection reset) makes the read a failure.
bool HttpClient::readBody(HINTERNET request)
{
    rawLength = 0;
    if (!rawBody.restart()) return false;

    bool ok = true;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            errorCode = GetLastError();
            break;
        }
        if (available == 0) break;
        if (available > ResponseBody::kMaxBytes) {
            ok = false;
            break;
        }
        if (rawBody.room() == 0) break;  // the rest is dropped with the request
        uint32_t space = 0;
        char* into = rawBody.freeSpace(space);
        if (into == nullptr) {
            ok = false;
            break;
        }
        DWORD read = 0;
        // Querying again after a read that failed would find the same unread data and spin;
        // reading ends instead.
        if (!WinHttpReadData(request, into, space, &read) || read > space) {
            ok = false;
            break;
        }
        if (read == 0) break;
        rawBody.commit(read);
    }
    rawLength = rawBody.size();
    return ok;
}

void HttpClient::decodeBody()
{
    if (!rawBody.allocated()) return;
    UINT codePage = CP_ACP;
    DWORD flags = MB_PRECOMPOSED;
    if (charset.size() >= 5 && CompareStringOrdinal(charset.c_str(), 5, L"utf-8", 5, TRUE) == CSTR_EQUAL) {
        codePage = CP_UTF8;
        flags = 0;
    }
    // The count takes in the zero byte behind the data, so the result comes terminated.
    int byteCount = static_cast<int>(rawLength + 1);
    int units = MultiByteToWideChar(codePage, flags, rawBody.data(), byteCount, nullptr, 0);
    if (units <= 0) {
        codePage = CP_ACP;
        flags = MB_PRECOMPOSED;
        units = MultiByteToWideChar(codePage, flags, rawBody.data(), byteCount, nullptr, 0);
        if (units <= 0) return;
    }
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[static_cast<size_t>(units)]());
    if (!text) return;
    if (MultiByteToWideChar(codePage, flags, rawBody.data(), byteCount, text.get(), units) > 0) {
        responseText = text.get();
    }
}
