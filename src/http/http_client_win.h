// One HTTP request engine: sends one request to one URL over synchronous WinHTTP and keeps the
// answer in memory. postForm builds a fresh one for every report body; only the WinHTTP session
// may outlive it (PostSession), and the engine never sends cookies, so nothing of an answer
// (cookies, a proxy) reaches a later report.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http/response_body.h"
#include "win_handles.h"

class HttpClient {
public:
    // Codes of the engine's own, kept in errorCode beside the Windows error codes.
    static constexpr uint32_t kErrorEmptyUrl = 3;
    static constexpr uint32_t kErrorIncompleteBody = 13;
    static constexpr uint32_t kErrorBadVerb = 87;
    static constexpr int kMaxAttempts = 3;

    explicit HttpClient(std::wstring url);
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Keeps a private copy of the bytes to send. False if the copy cannot be allocated; the engine
    // then holds no body.
    bool setRequestBody(const char* body, uint32_t length);
    // Header block added to the request handle once, before its first send; it travels with every
    // re-send of that handle.
    void setExtraHeaders(std::wstring headers) { extraHeaders = std::move(headers); }

    // A session kept from an earlier engine, used instead of opening one; and the session this
    // engine used, handed on (none if it never opened one).
    void adoptSession(win::UniqueHInternet session) { sessionHandle = std::move(session); }
    win::UniqueHInternet releaseSession() { return std::move(sessionHandle); }

    // Runs one request with verb "GET" or "POST" (any letter case). True once an answer was read
    // whole; false when no attempt got one or reading it failed.
    bool execute(const std::wstring& verb);

    std::wstring getResponseText() const { return responseText; }

    uint32_t lastError() const { return errorCode; }
    const std::wstring& status() const { return statusText; }
    // The answer's status code; 0 when no status line came.
    int statusCode() const;
    // The answer's Retry-After in milliseconds from now (delta-seconds or an HTTP date); 0 when it
    // has none or none that can be read.
    uint64_t retryAfterMs() const;
    uint32_t bodyLength() const { return rawLength; }
    const char* bodyBytes() const { return rawBody.data(); }
    uint32_t bodyCapacity() const { return rawBody.capacity(); }
    int sendCount() const { return sends; }

private:
    bool sendOnce(HINTERNET request);
    bool applyUserProxy(HINTERNET request);
    bool readBody(HINTERNET request);
    void decodeBody();
    void readResponseHeaders(HINTERNET request);
    void interpretHeaders();

    win::UniqueHInternet sessionHandle;
    std::wstring url;
    std::wstring hostName;
    std::wstring responseHeaders;
    std::wstring responseText;
    std::wstring charset;
    ResponseBody rawBody;
    uint32_t rawLength = 0;
    uint32_t expectedLength = 0;
    std::wstring cookies;
    std::unique_ptr<char[]> requestBody;
    uint32_t requestBodyLength = 0;
    std::wstring extraHeaders;
    uint32_t errorCode = 0;
    std::wstring statusText;
    std::wstring retryAfter;
    std::wstring userAgent = L"TallyScope";
    std::wstring location;
    int resolveTimeout = 0;
    int connectTimeout = 1000;
    int sendTimeout = 1000;
    int receiveTimeout = 1000;
    int sends = 0;  // WinHttpSendRequest calls of the last execute, for the probes
};
