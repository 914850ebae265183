#include "core/text_decoder.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace tallyscope::server {

bool isValidUtf8(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        // Reports are mostly ASCII: eight bytes without a high bit at a time.
        if (end - p >= 8) {
            std::uint64_t eight;
            std::memcpy(&eight, p, sizeof eight);
            if ((eight & 0x8080808080808080ull) == 0) {
                p += 8;
                continue;
            }
        }
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int length;
        unsigned min;
        unsigned cp;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2, min = 0x80, cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3, min = 0x800, cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4, min = 0x10000, cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p < length) return false;
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        p += length;
    }
    return true;
}

TextDecoder::TextDecoder(const std::string& legacyCharset)
    : charset_(legacyCharset), descriptor_(iconv_open("UTF-8", legacyCharset.c_str()))
{
    if (descriptor_ == reinterpret_cast<iconv_t>(-1))
        throw std::invalid_argument("unknown legacy charset: " + legacyCharset);
}

TextDecoder::~TextDecoder() { iconv_close(descriptor_); }

std::string TextDecoder::toUtf8(std::string&& text)
{
    if (isValidUtf8(text)) return std::move(text);
    return toUtf8(std::string_view(text));
}

std::string TextDecoder::toUtf8(std::string_view text)
{
    if (isValidUtf8(text)) return std::string(text);
    iconv(descriptor_, nullptr, nullptr, nullptr, nullptr);  // a fresh shift state per value
    std::string out;
    out.reserve(text.size() * 2 + 8);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char buffer[256];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        std::size_t done = iconv(descriptor_, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (done != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ (no character starts here) or EINVAL (a character cut at the end of the value).
        out += "\xEF\xBF\xBD";
        ++in;
        --inLeft;
        iconv(descriptor_, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

}  // namespace tallyscope::server
