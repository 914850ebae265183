#pragma once

#include <string>

// Current local time as "YYYY-MM-DD hh:mm:ss" (19 characters). Callers serialise: the text of the
// last second is kept for the next call.
std::string localTimestamp();
