#include "report/ansi_text.h"

#include <windows.h>

#include <climits>
#include <cstring>

void toAnsi(const wchar_t* text, char* out, std::size_t outBytes) { toCodePage(CP_ACP, text, out, outBytes); }

void toCodePage(unsigned codePage, const wchar_t* text, char* out, std::size_t outBytes)
{
    if (out == nullptr || outBytes == 0) return;
    std::memset(out, 0, outBytes);
    if (text == nullptr) return;
    int capacity = outBytes > INT_MAX ? INT_MAX : static_cast<int>(outBytes);
    int written = WideCharToMultiByte(codePage, WC_COMPOSITECHECK, text, -1, out, capacity, nullptr, nullptr);
    // Code pages such as UTF-8 refuse WC_COMPOSITECHECK; every other code page gives the same bytes
    // either way, so converting again without it changes nothing on them.
    if (written == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
        std::memset(out, 0, outBytes);
        written = WideCharToMultiByte(codePage, 0, text, -1, out, capacity, nullptr, nullptr);
    }
    if (written == 0) std::memset(out, 0, outBytes);  // a value that does not fit is not sent half
    out[outBytes - 1] = '\0';
}
