// The upload worker's one entry into the HTTP layer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct PostAnswer {
    int status = 0;             // the answer's status code; 0 when no answer came
    uint64_t retryAfterMs = 0;  // the answer's Retry-After; 0 when none
};

// What one thread's consecutive posts share: the WinHTTP session, so that a post neither sets one
// up again (under Wine a read of the proxy settings from the registry) nor loses the connection it
// keeps open for the next. A post that did not read an answer whole (refused, reset, cut short,
// timed out) closes it, so the next one starts afresh: a new connection, the proxy settings read
// again. Cookies are never sent from it.
class PostSession {
public:
    PostSession();
    ~PostSession();
    PostSession(const PostSession&) = delete;
    PostSession& operator=(const PostSession&) = delete;

    struct Kept;
    std::unique_ptr<Kept> kept;
};

// Posts length bytes of body (borrowed for the call only) as form-encoded content to url and prints
// the decoded answer. reportId, when not empty, goes out as the "TallyScope-Report-Id" header so
// that the server stores the report once however often it arrives. session, when given, is used
// and kept for the next post. Blocks until the request has ended.
PostAnswer postForm(const std::wstring& url, const char* body, uint32_t length, const std::string& reportId = "",
                    PostSession* session = nullptr);
