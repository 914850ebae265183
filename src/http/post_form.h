// The upload worker's one entry into the HTTP layer.
#pragma once

#include <cstdint>
#include <string>

// Posts length bytes of body (borrowed for the call only) as form-encoded content to url and prints
// the decoded answer. Returns 1 when the server answered (with any status), 0 when no answer came.
// Blocks until the request has ended.
int postForm(const std::wstring& url, const char* body, uint32_t length);
