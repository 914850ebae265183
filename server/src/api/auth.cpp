#include "api/auth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tallyscope::server::api {
namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kMinTokenLength = 16;

std::string hex(const unsigned char* data, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0f]);
    }
    return out;
}

std::string hmacSha256(std::string_view key, std::string_view message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest,
             &length) == nullptr)
        throw std::runtime_error("HMAC-SHA256 failed");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

// Equal-length digests compared with CRYPTO_memcmp: neither the content nor the length of the
// presented value shows in the time taken.
bool sameSecret(std::string_view expected, std::string_view presented) {
    unsigned char a[SHA256_DIGEST_LENGTH];
    unsigned char b[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(expected.data()), expected.size(), a);
    SHA256(reinterpret_cast<const unsigned char*>(presented.data()), presented.size(), b);
    return CRYPTO_memcmp(a, b, sizeof a) == 0;
}

std::string trimmed(std::string text) {
    auto notSpace = [](unsigned char c) { return !std::isspace(c); };
    text.erase(text.begin(), std::find_if(text.begin(), text.end(), notSpace));
    text.erase(std::find_if(text.rbegin(), text.rend(), notSpace).base(), text.end());
    return text;
}

std::string readToken(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read the token file " + file.string());
    std::ostringstream text;
    text << in.rdbuf();
    std::string token = trimmed(text.str());
    if (token.size() < kMinTokenLength)
        throw std::runtime_error("the token in " + file.string() + " is shorter than " +
                                 std::to_string(kMinTokenLength) + " characters");
    if (std::any_of(token.begin(), token.end(),
                    [](unsigned char c) { return c <= 0x20 || c >= 0x7f; }))
        throw std::runtime_error("the token in " + file.string() +
                                 " holds spaces or characters outside printable ASCII");
    return token;
}

}  // namespace

AccessToken loadOrCreateToken(const std::filesystem::path& dataDir,
                              const std::optional<std::filesystem::path>& tokenFile) {
    if (tokenFile) return {readToken(*tokenFile), *tokenFile, false};

    std::filesystem::path file = dataDir / "access-token";
    std::error_code ignored;
    std::filesystem::create_directories(dataDir, ignored);

    std::array<unsigned char, kTokenBytes> random{};
    if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1)
        throw std::runtime_error("no random bytes for the access token");
    std::string token = hex(random.data(), random.size()) + "\n";

    // O_EXCL: when several processes start on one data folder, the first one's token wins and the
    // others read it.
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return {readToken(file), file, false};
        throw std::runtime_error("cannot create the token file " + file.string() + ": " +
                                 std::strerror(errno));
    }
    bool written = ::write(fd, token.data(), token.size()) == static_cast<ssize_t>(token.size()) &&
                   ::fsync(fd) == 0;
    ::close(fd);
    if (!written) {
        std::filesystem::remove(file, ignored);
        throw std::runtime_error("cannot write the token file " + file.string());
    }
    token.pop_back();
    return {token, file, true};
}

Credentials::Credentials(std::string token)
    : token_(std::move(token)), sessionKey_(hmacSha256(token_, "tallyscope session cookie v1")) {}

bool Credentials::tokenMatches(std::string_view presented) const {
    return sameSecret(token_, presented);
}

std::string Credentials::issueSession(std::int64_t expiresAt) const {
    std::string expiry = std::to_string(expiresAt);
    std::string mac = hmacSha256(sessionKey_, expiry);
    return expiry + "." +
           hex(reinterpret_cast<const unsigned char*>(mac.data()), mac.size());
}

bool Credentials::sessionValid(std::string_view cookie, std::int64_t now) const {
    auto dot = cookie.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot > 18) return false;
    std::string_view expiry = cookie.substr(0, dot);
    if (!std::all_of(expiry.begin(), expiry.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    std::string mac = hmacSha256(sessionKey_, expiry);
    bool signedHere = sameSecret(hex(reinterpret_cast<const unsigned char*>(mac.data()), mac.size()),
                                 cookie.substr(dot + 1));
    return signedHere && std::stoll(std::string(expiry)) > now;
}

FailureLimiter::FailureLimiter(int maxFailures, Clock::duration window, std::size_t maxAddresses)
    : maxFailures_(maxFailures), window_(window), maxAddresses_(maxAddresses) {}

std::int64_t FailureLimiter::blockedFor(const std::string& address, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(address);
    if (it == entries_.end()) return 0;
    auto ends = it->second.first + window_;
    if (now >= ends) {
        entries_.erase(it);
        return 0;
    }
    if (it->second.failures < maxFailures_) return 0;
    auto left = std::chrono::duration_cast<std::chrono::seconds>(ends - now).count();
    return std::max<std::int64_t>(left, 1);
}

bool FailureLimiter::recordFailure(const std::string& address, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(address);
    if (it != entries_.end() && now >= it->second.first + window_) {
        entries_.erase(it);
        it = entries_.end();
    }
    if (it == entries_.end()) {
        if (entries_.size() >= maxAddresses_) makeRoom(now);
        it = entries_.emplace(address, Entry{now, 0}).first;
    }
    return ++it->second.failures == maxFailures_;
}

void FailureLimiter::makeRoom(Clock::time_point now) {
    for (auto it = entries_.begin(); it != entries_.end();)
        it = now >= it->second.first + window_ ? entries_.erase(it) : std::next(it);
    if (entries_.size() < maxAddresses_) return;
    auto oldest = std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
        return a.second.first < b.second.first;
    });
    entries_.erase(oldest);
}

std::optional<std::string_view> cookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        auto end = header.find(';');
        std::string_view pair = header.substr(0, end);
        header = end == std::string_view::npos ? std::string_view{} : header.substr(end + 1);
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        auto eq = pair.find('=');
        if (eq != std::string_view::npos && pair.substr(0, eq) == name) {
            std::string_view value = pair.substr(eq + 1);
            while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
            return value;
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> bearerToken(std::string_view authorization) {
    constexpr std::string_view scheme = "bearer ";
    if (authorization.size() <= scheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(authorization[i])) != scheme[i])
            return std::nullopt;
    std::string_view token = authorization.substr(scheme.size());
    while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
    while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
    if (token.empty()) return std::nullopt;
    return token;
}

}  // namespace tallyscope::server::api
