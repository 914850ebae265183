#include "http/header_interpretation.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

#include "pattern/atl_exception.h"
#include "pattern/pattern_match.h"
#include "pattern/pattern_matcher.h"
#include "pattern/pattern_text.h"

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

// The key under which a result is de-duplicated: its text with A to Z folded, the comparison the
// results are distinct under.
std::wstring asciiFolded(const wchar_t* text, std::size_t length)
{
    std::wstring key(text, length);
    for (wchar_t& c : key) c = foldAscii(c);
    return key;
}

// One folded copy of the subject serves every match of the search, and the distinct results are
// kept in a hash set beside the ordered list: the whole search is linear in the subject, however
// many matches it holds.
bool searchAll(const std::wstring& pattern, const wchar_t* subject, std::size_t length,
               std::vector<std::wstring>& results)
{
    PatternMatcher matcher;
    if (matcher.compile(pattern.c_str()) != PatternOk) return false;

    if (length >= SIZE_MAX / sizeof(wchar_t)) return false;
    std::unique_ptr<wchar_t, decltype(&std::free)> copy(
        static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t))), &std::free);
    if (!copy) return false;
    if (matcher.caseSensitive()) {
        std::memcpy(copy.get(), subject, length * sizeof(wchar_t));
    } else {
        for (std::size_t i = 0; i < length; ++i) copy.get()[i] = foldCase(subject[i]);
    }
    copy.get()[length] = 0;
    const wchar_t* const begin = copy.get();
    const wchar_t* const end = begin + length;

    std::unordered_set<std::wstring> seen;
    PatternMatch context(kSearchStackCells);
    const wchar_t* position = begin;
    while (true) {
        const wchar_t* next = nullptr;
        if (!matcher.matchFolded(position, static_cast<std::size_t>(end - position), &context, &next)) break;
        if (context.groupCount() > 0) {
            const GroupSpan& span = context.group(0);
            if (span.start != nullptr && span.end != nullptr && span.end >= span.start) {
                // The spans point into the folded copy; the result keeps the subject's letter case.
                const wchar_t* original = subject + (span.start - begin);
                const std::size_t spanLength = static_cast<std::size_t>(span.end - span.start);
                if (seen.insert(asciiFolded(original, spanLength)).second) results.emplace_back(original, spanLength);
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

// The part of a header block that is interpreted: at most kMaxInterpretedHeaderUnits, ended at the
// last line end inside that bound so that no value is read cut short.
std::size_t interpretedLength(const std::wstring& headers)
{
    if (headers.size() <= kMaxInterpretedHeaderUnits) return headers.size();
    const std::size_t lastLineEnd = headers.find_last_of(L"\r\n", kMaxInterpretedHeaderUnits - 1);
    return lastLineEnd == std::wstring::npos ? kMaxInterpretedHeaderUnits : lastLineEnd + 1;
}

bool findAllMatchesIn(const std::wstring& pattern, const wchar_t* subject, std::size_t length,
                      std::vector<std::wstring>& results)
{
    results.clear();
    if (pattern.empty() || length == 0) return false;
    // The matcher's faults stay here: on the worker they would end the process. A search that
    // raised searched nothing, so its caller keeps the value it had.
    try {
        if (searchAll(pattern, subject, length, results)) return true;
    } catch (const CAtlException&) {
    } catch (const std::bad_alloc&) {
    }
    results.clear();
    return false;
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
    return findAllMatchesIn(pattern, subject.data(), subject.size(), results);
}

void interpretHeaders(const std::wstring& responseHeaders, std::wstring& charset, uint32_t& expectedLength,
                      std::wstring& location, std::wstring& cookies)
{
    const wchar_t* const text = responseHeaders.data();
    const std::size_t length = interpretedLength(responseHeaders);
    std::vector<std::wstring> results;
    if (findAllMatchesIn(kCharsetPattern, text, length, results) && !results.empty()) charset = results.front();
    if (findAllMatchesIn(kContentLengthPattern, text, length, results) && !results.empty()) {
        expectedLength = readLength(results.front());
    }
    if (findAllMatchesIn(kLocationPattern, text, length, results) && !results.empty()) location = results.front();
    if (findAllMatchesIn(kSetCookiePattern, text, length, results) && !results.empty()) {
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
