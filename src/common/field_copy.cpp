#include "common/field_copy.h"

#include <cstring>
#include <cwchar>

void copyToField(char* field, std::size_t fieldBytes, const char* text)
{
    if (fieldBytes == 0) return;
    std::memset(field, 0, fieldBytes);
    if (text == nullptr) return;
    std::size_t n = strnlen(text, fieldBytes - 1);
    std::memcpy(field, text, n);
}

void copyToField(wchar_t* field, std::size_t fieldUnits, const wchar_t* text)
{
    if (fieldUnits == 0) return;
    std::wmemset(field, 0, fieldUnits);
    if (text == nullptr) return;
    std::size_t n = 0;
    while (n < fieldUnits - 1 && text[n] != 0) ++n;
    std::wmemcpy(field, text, n);
}
