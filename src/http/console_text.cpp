#include "http/console_text.h"

#include <climits>
#include <cwchar>

std::string toConsoleText(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    std::mbstate_t state{};
    char bytes[MB_LEN_MAX];
    for (wchar_t c : text) {
        std::size_t n = std::wcrtomb(bytes, c, &state);
        if (n == static_cast<std::size_t>(-1)) {
            out.push_back('?');
            state = std::mbstate_t{};
            continue;
        }
        out.append(bytes, n);
    }
    return out;
}
