// MD5 (RFC 1321) over byte strings. It turns hardware data into fixed-length names (the device
// identifier, the processor identifier); it is not used for anything that needs to resist attack.
#pragma once

#include <cstdint>
#include <string>

struct Md5Context {
    uint32_t bitCount[2];     // input bits so far, modulo 2^64, low word first
    uint32_t chainState[4];   // A, B, C, D
    uint8_t pendingBlock[64]; // input not yet processed
    uint8_t digestBytes[16];  // written by md5Final
};

void md5Init(Md5Context& context);
void md5Update(Md5Context& context, const void* data, uint32_t length);
void md5Final(Md5Context& context);

// The digest of length bytes as 32 upper-case hexadecimal digits, in digest byte order.
std::string md5HexUpper(const void* data, uint32_t length);
