// Turns a report's 8-bit values into UTF-8. Hosts pass text in whatever their code page is: valid
// UTF-8 is kept as it is, anything else is read as the legacy code page chosen at start-up.
#pragma once

#include <iconv.h>

#include <string>
#include <string_view>

namespace tallyscope::server {

bool isValidUtf8(std::string_view text);

// Owns one iconv descriptor; not for sharing between threads (iconv keeps state per descriptor).
class TextDecoder {
public:
    // Throws std::invalid_argument when iconv does not know the charset.
    explicit TextDecoder(const std::string& legacyCharset);
    ~TextDecoder();
    TextDecoder(const TextDecoder&) = delete;
    TextDecoder& operator=(const TextDecoder&) = delete;

    // Bytes that no character of the legacy code page starts with become U+FFFD, one per byte.
    std::string toUtf8(std::string_view text);
    // The same, keeping the string itself when it is UTF-8 already (most values are).
    std::string toUtf8(std::string&& text);

    const std::string& charset() const { return charset_; }

private:
    std::string charset_;
    iconv_t descriptor_;
};

}  // namespace tallyscope::server
