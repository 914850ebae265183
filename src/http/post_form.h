// The upload worker's one entry into the HTTP layer.
#pragma once

#include <cstdint>
#include <string>

struct PostAnswer {
    int status = 0;             // the answer's status code; 0 when no answer came
    uint64_t retryAfterMs = 0;  // the answer's Retry-After; 0 when none
};

// Posts length bytes of body (borrowed for the call only) as form-encoded content to url and prints
// the decoded answer. reportId, when not empty, goes out as the "TallyScope-Report-Id" header so
// that the server stores the report once however often it arrives. Blocks until the request has
// ended.
PostAnswer postForm(const std::wstring& url, const char* body, uint32_t length, const std::string& reportId = "");
