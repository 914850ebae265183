// Credentials and where requests come from: the token file of the first admin (`owner`), secrets
// and their hashes, the failed-attempt limit, the client address behind trusted proxies, and
// the header parsing around them. Reports never need any of it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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

// The cookies: a session signed in with a token (the value is a random secret; the store keeps
// its hash), and a share link opened in this browser (the value is the link's id).
inline constexpr std::string_view kSessionCookie = "tallyscope_session";
inline constexpr std::string_view kShareCookie = "tallyscope_share";
inline constexpr std::int64_t kSessionSeconds = 12 * 3600;

// A fresh secret: 32 random bytes as 64 hex digits. Throws std::runtime_error without randomness.
std::string newSecret();
// SHA-256 of a secret as 64 hex digits: what the store keeps instead of the secret.
std::string secretHash(std::string_view secret);

// One known secret compared in constant time: for a route that takes only the token file's own
// token and not the named tokens of the access store (GET /metrics on the main listener).
class Credentials {
public:
    explicit Credentials(std::string token) : token_(std::move(token)) {}
    bool tokenMatches(std::string_view presented) const;

private:
    std::string token_;
};

// Failed sign-in attempts per client address: after `maxFailures` within `window` the address's
// wrong attempts are answered 429 until the window since its first counted failure has passed.
// It never stands between a caller and a right credential: only wrong ones are refused. Bounded in memory:
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

// The addresses of reverse proxies whose X-Forwarded-For is believed: CIDR blocks such as
// "10.0.0.0/8" or "::1/128", or single addresses.
class TrustedProxies {
public:
    TrustedProxies() = default;
    // Throws std::invalid_argument naming the first entry that is not a CIDR block.
    explicit TrustedProxies(const std::vector<std::string>& blocks);

    bool contains(std::string_view address) const;

    // The client: the peer itself unless it is a trusted proxy; then, walking X-Forwarded-For from
    // its right end, the first address not itself trusted (a client can put anything at the left
    // end, only what trusted proxies appended is believed).
    std::string clientAddress(const std::string& peer, const std::string* forwardedFor) const;

private:
    struct Block {
        std::array<unsigned char, 16> bytes{};
        int bits = 0;
        bool v4 = false;
    };
    std::vector<Block> blocks_;
};

// True when a request's Origin (or, without one, its Referer) names another origin than the one
// it was sent to (`ownScheme`://`ownHost`); "null" is another. Absent both: false.
bool foreignOrigin(const std::string* origin, const std::string* referer, std::string_view ownScheme,
                   std::string_view ownHost);

// "Bearer TOKEN" → TOKEN (scheme compared case-insensitively), if the header has that form.
std::optional<std::string_view> bearerToken(std::string_view authorization);

}  // namespace tallyscope::server::api
