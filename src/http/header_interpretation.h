// Picks values out of an HTTP answer's header block and tests a GET answer for completeness.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Searches subject with pattern and fills results with the distinct texts of the pattern's first
// group, in order of first occurrence. False when nothing could be searched.
bool findAllMatches(const std::wstring& pattern, const std::wstring& subject, std::vector<std::wstring>& results);

// Headers past this many units (cut back to the last line end before it) are not interpreted: an
// answer's values come first, and megabytes of headers must not hold up the worker.
constexpr std::size_t kMaxInterpretedHeaderUnits = 65536;

// Reads the raw CRLF header block; each output is left unchanged when its search finds nothing.
void interpretHeaders(const std::wstring& responseHeaders, std::wstring& charset, uint32_t& expectedLength,
                      std::wstring& location, std::wstring& cookies);

// True unless the text has "<html>" but no "</html>".
bool isBodyComplete(const std::wstring& text);

// text without the characters of set at its start and end.
std::wstring trimChars(const std::wstring& text, const std::wstring& set);
