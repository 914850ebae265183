// The fixed sizes that texts crossing a boundary of the library are held in. Each limit has one
// name; a value that does not fit is refused or cut as the code using it says.
#pragma once

#include <cstddef>

// Application key and channel: 63 characters and a terminator.
constexpr std::size_t kAppKeyBytes = 64;
constexpr std::size_t kChannelBytes = 64;
// Event names and contents a report carries.
constexpr std::size_t kMaxArgumentChars = 63;
// Names of this many characters or fewer are ignored outright.
constexpr std::size_t kMinEventNameChars = 4;

// A report body: the builders write at most kBodyBytes - 1 characters and a terminator into a
// buffer of this size; the queue accepts bodies of up to kBodyBytes characters.
constexpr std::size_t kBodyBytes = 2048;
constexpr std::size_t kMaxQueuedReports = 1024;

// The device identifier as the reports carry it.
constexpr std::size_t kDeviceIdWideUnits = 260;
constexpr std::size_t kDeviceIdAnsiBytes = 33;

// A network adapter's hardware address.
constexpr std::size_t kMacAddressBytes = 6;

// The collection URL: scheme, host, "/stat/pc.php" and a terminator.
constexpr std::size_t kUploadUrlUnits = 128;
