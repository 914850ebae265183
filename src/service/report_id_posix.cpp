#include "service/report_id.h"

#include <fstream>

bool drawSystemRandom(void* into, std::size_t size)
{
    std::ifstream random("/dev/urandom", std::ios::binary);
    return static_cast<bool>(random.read(static_cast<char*>(into), static_cast<std::streamsize>(size)));
}
