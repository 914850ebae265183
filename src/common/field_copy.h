// Copying text into the library's fixed-size fields.
#pragma once

#include <cstddef>

// Copies text into a fixed field: never writes past it, always terminates, zero-fills the rest. A
// null text empties the field.
void copyToField(char* field, std::size_t fieldBytes, const char* text);
void copyToField(wchar_t* field, std::size_t fieldUnits, const wchar_t* text);
