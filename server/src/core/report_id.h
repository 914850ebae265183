// The sender's identity of one report: "TallyScope-Report-Id: <32 lowercase hex digits>". The
// store keeps it as its 16 bytes; the export writes it back as the same 32 digits.
#pragma once

#include <string>
#include <string_view>

namespace tallyscope::server {

inline constexpr std::size_t kReportIdDigits = 32;
inline constexpr std::size_t kReportIdBytes = 16;

// True for exactly 32 characters of 0-9 and a-f.
bool isReportId(std::string_view text);

// The 16 bytes of a valid id; empty for an empty or invalid one.
std::string reportIdToBytes(std::string_view hex);

// The 32 digits of 16 stored bytes; empty for anything else.
std::string reportIdFromBytes(std::string_view bytes);

}  // namespace tallyscope::server
