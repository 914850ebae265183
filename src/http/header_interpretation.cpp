#include "http/header_interpretation.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "pattern/atl_exception.h"
#include "pattern/pattern_match.h"
#include "pattern/pattern_matcher.h"

namespace {

// The patterns are the product's own: the backslashes belong to the pattern language ("\-" a
// minus, "\b" a blank or tab, "\n" a line end).
const wchar_t kCharsetPattern[] = L"charset={[A-Za-z0-9\\-_]+}";
const wchar_t kContentLengthPattern[] = L"Content-Length: {[0-9]+}";
const wchar_t kLocationPattern[] = L"Location: {[0-9]+}";
const wchar_t kSetCookiePattern[] = L"Set-Cookie:\\b*{.+?}\\n";
const wchar_t kHtmlOpenPattern[] = L"{<html>}";
const wchar_t kHtmlClosePattern[] = L"{</html>}";

constexpr std::size_t kSearchStackCells = 256;
constexpr uint32_t kMaxExpectedLength = 2147483647;

wchar_t foldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool equalIgnoringAsciiCase(const std::wstring& a, const wchar_t* b, std::size_t length)
{
    if (a.size() != length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        if (foldAscii(a[i]) != foldAscii(b[i])) return false;
    }
    return true;
}

bool searchAll(const std::wstring& pattern, const std::wstring& subject, std::vector<std::wstring>& results)
{
    PatternMatcher matcher;
    if (matcher.compile(pattern.c_str()) != PatternOk) return false;

    const std::size_t length = subject.size();
    if (length >= SIZE_MAX / sizeof(wchar_t)) return false;
    std::unique_ptr<wchar_t, decltype(&std::free)> copy(
        static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t))), &std::free);
    if (!copy) return false;
    std::memcpy(copy.get(), subject.data(), length * sizeof(wchar_t));
    copy.get()[length] = 0;
    const wchar_t* const end = copy.get() + length;

    PatternMatch context(kSearchStackCells);
    const wchar_t* position = copy.get();
    while (true) {
        const wchar_t* next = nullptr;
        if (!matcher.match(position, &context, &next)) break;
        if (context.groupCount() > 0) {
            const GroupSpan& span = context.group(0);
            if (span.start != nullptr && span.end != nullptr && span.end >= span.start) {
                const std::size_t spanLength = static_cast<std::size_t>(span.end - span.start);
                bool seen = false;
                for (const std::wstring& result : results) {
                    if (equalIgnoringAsciiCase(result, span.start, spanLength)) {
                        seen = true;
                        break;
                    }
                }
                if (!seen) results.emplace_back(span.start, spanLength);
            }
        }
        // A match that consumed nothing would be found again at the same place: step over one
        // character so a pattern that can match the empty string still comes to an end.
        if (next == context.matchStart()) ++next;
        if (next >= end) break;
        position = next;
    }
    return true;
}

// Base 10, saturating like the platform's 32-bit strtol; the pattern guarantees digits only.
uint32_t readLength(const std::wstring& digits)
{
    uint32_t value = 0;
    for (wchar_t c : digits) {
        if (c < L'0' || c > L'9') break;
        const uint32_t digit = static_cast<uint32_t>(c - L'0');
        if (value > (kMaxExpectedLength - digit) / 10) return kMaxExpectedLength;
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

bool findAllMatches(const std::wstring& pattern, const std::wstring& subject, std::vector<std::wstring>& results)
{
    results.clear();
    if (pattern.empty() || subject.empty()) return false;
    // The matcher's faults stay here: on the worker they would end the process. A search that
    // raised searched nothing, so its caller keeps the value it had.
    try {
        if (searchAll(pattern, subject, results)) return true;
    } catch (const CAtlException&) {
    } catch (const std::bad_alloc&) {
    }
    results.clear();
    return false;
}

void interpretHeaders(const std::wstring& responseHeaders, std::wstring& charset, uint32_t& expectedLength,
                      std::wstring& location, std::wstring& cookies)
{
    std::vector<std::wstring> results;
    if (findAllMatches(kCharsetPattern, responseHeaders, results) && !results.empty()) charset = results.front();
    if (findAllMatches(kContentLengthPattern, responseHeaders, results) && !results.empty()) {
        expectedLength = readLength(results.front());
    }
    if (findAllMatches(kLocationPattern, responseHeaders, results) && !results.empty()) location = results.front();
    if (findAllMatches(kSetCookiePattern, responseHeaders, results) && !results.empty()) {
        // Appended behind what an earlier answer to the same engine left.
        for (std::size_t i = 0; i < results.size(); ++i) {
            cookies += results[i];
            if (i + 1 < results.size()) cookies += L"; ";
        }
        cookies = trimChars(cookies, L" ");
        if (!cookies.empty() && cookies.back() != L';') cookies += L';';
    }
}

bool isBodyComplete(const std::wstring& text)
{
    std::vector<std::wstring> results;
    if (!findAllMatches(kHtmlOpenPattern, text, results) || results.empty()) return true;
    return findAllMatches(kHtmlClosePattern, text, results) && !results.empty();
}

std::wstring trimChars(const std::wstring& text, const std::wstring& set)
{
    const std::size_t first = text.find_first_not_of(set);
    if (first == std::wstring::npos) return std::wstring();
    const std::size_t last = text.find_last_not_of(set);
    return text.substr(first, last - first + 1);
}
