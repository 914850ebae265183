// Turns answer text into bytes for the run-time library's narrow standard output.
#pragma once

#include <string>

// Each character in the C runtime's current locale; a character that locale cannot express becomes
// "?" instead of ending the line (the wide printf family stops at the first such character).
std::string toConsoleText(const std::wstring& text);
