#include "report/url_escape.h"

bool isUnsafeUrlChar(unsigned char byte)
{
    if (byte == 33 || byte == 95 || byte == 126) return false;
    if (byte >= 39 && byte <= 42) return false;
    if (byte >= 45 && byte <= 58) return false;
    if (byte >= 65 && byte <= 90) return false;
    if (byte >= 97 && byte <= 122) return false;
    return true;
}

std::size_t urlEscape(const char* text, char* out, std::size_t outBytes)
{
    static const char kHex[] = "0123456789abcdef";
    if (out == nullptr || outBytes == 0) return 0;
    std::size_t used = 0;
    if (text != nullptr) {
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
            // A value that already holds %41 goes out unchanged: '%' is never escaped.
            bool escape = isUnsafeUrlChar(*p) && *p != '%';
            std::size_t need = escape ? 3 : 1;
            if (used + need > outBytes - 1) break;
            if (escape) {
                out[used++] = '%';
                out[used++] = kHex[*p >> 4];
                out[used++] = kHex[*p & 0x0F];
            } else {
                out[used++] = static_cast<char>(*p);
            }
        }
    }
    out[used] = '\0';
    return used;
}
