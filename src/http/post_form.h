// The upload worker's one entry into the HTTP layer.
#pragma once

#include <cstdint>
#include <string>

// Posts length bytes of body (borrowed for the call only) as form-encoded content to url, prints
// the decoded answer and returns 0 whatever happened. Blocks until the request has ended.
int postForm(const std::wstring& url, const char* body, uint32_t length);
