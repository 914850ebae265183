// Placeholder until the WinHTTP engine lands: bodies are traced by the worker and dropped.
#include "http/post_form.h"

int postForm(const std::wstring&, const char*, uint32_t) { return 0; }
