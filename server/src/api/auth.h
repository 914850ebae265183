// Who may read the figures: one secret token per installation. The API takes it as a bearer
// token; the dashboard trades it once for a signed session cookie. Reports never need it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tallyscope::server::api {

// The installation's token and where it lives.
struct AccessToken {
    std::string value;
    std::filesystem::path file;
    bool created = false;  // this start wrote the file
};

// Reads `tokenFile` when given (it must exist and hold a token); otherwise reads
// `<dataDir>/access-token`, creating it with a fresh random token (readable by the owner only)
// at first start. Throws std::runtime_error with a readable reason.
AccessToken loadOrCreateToken(const std::filesystem::path& dataDir,
                              const std::optional<std::filesystem::path>& tokenFile);

// The session cookie's name and lifetime.
inline constexpr std::string_view kSessionCookie = "tallyscope_session";
inline constexpr std::int64_t kSessionSeconds = 12 * 3600;

// Checks credentials in constant time. Session cookies are stateless: an expiry time and an HMAC
// over it under a key derived from the token, so every server process sharing the token accepts
// the cookie any of them issued, and changing the token signs everyone out.
class Credentials {
public:
    explicit Credentials(std::string token);

    bool tokenMatches(std::string_view presented) const;

    // The cookie value for a session that ends at `expiresAt` (Unix seconds).
    std::string issueSession(std::int64_t expiresAt) const;
    bool sessionValid(std::string_view cookieValue, std::int64_t now) const;

private:
    std::string token_;
    std::string sessionKey_;
};

// Failed sign-in attempts per client address: after `maxFailures` within `window` the address is
// refused (429) until the window since its first counted failure has passed. Bounded in memory:
// when the table is full, expired entries go, then the oldest.
class FailureLimiter {
public:
    using Clock = std::chrono::steady_clock;

    FailureLimiter(int maxFailures, Clock::duration window, std::size_t maxAddresses = 65536);

    // Seconds the address must still wait, or 0 when it may try.
    std::int64_t blockedFor(const std::string& address, Clock::time_point now);
    // True when this failure used up the address's attempts.
    bool recordFailure(const std::string& address, Clock::time_point now);

private:
    struct Entry {
        Clock::time_point first;
        int failures = 0;
    };
    void makeRoom(Clock::time_point now);

    const int maxFailures_;
    const Clock::duration window_;
    const std::size_t maxAddresses_;
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

// Cookie header parsing: the value of `name`, if present.
std::optional<std::string_view> cookieValue(std::string_view cookieHeader, std::string_view name);

// "Bearer TOKEN" → TOKEN (scheme compared case-insensitively), if the header has that form.
std::optional<std::string_view> bearerToken(std::string_view authorization);

}  // namespace tallyscope::server::api
