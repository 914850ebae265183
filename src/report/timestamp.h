#pragma once

#include <string>

// Current local time as "YYYY-MM-DD hh:mm:ss" (19 characters).
std::string localTimestamp();
