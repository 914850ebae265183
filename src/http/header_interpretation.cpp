// Placeholder until the pattern matcher lands: no header is interpreted, every answer is complete.
#include "http/header_interpretation.h"

bool findAllMatches(const std::wstring&, const std::wstring&, std::vector<std::wstring>& results)
{
    results.clear();
    return false;
}

void interpretHeaders(const std::wstring&, std::wstring&, uint32_t&, std::wstring&, std::wstring&) {}

bool isBodyComplete(const std::wstring&) { return true; }

std::wstring trimChars(const std::wstring& text, const std::wstring& set)
{
    auto first = text.find_first_not_of(set);
    if (first == std::wstring::npos) return std::wstring();
    auto last = text.find_last_not_of(set);
    return text.substr(first, last - first + 1);
}
