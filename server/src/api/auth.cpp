#include "api/auth.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <boost/asio/ip/address.hpp>

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

    std::string token = newSecret() + "\n";

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

std::string newSecret() {
    std::array<unsigned char, kTokenBytes> random{};
    if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1)
        throw std::runtime_error("no random bytes for a secret");
    return hex(random.data(), random.size());
}

std::string secretHash(std::string_view secret) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), digest);
    return hex(digest, sizeof digest);
}

bool Credentials::tokenMatches(std::string_view presented) const { return sameSecret(token_, presented); }

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

namespace {

std::optional<boost::asio::ip::address> parseAddress(std::string_view text) {
    boost::system::error_code ec;
    auto address = boost::asio::ip::make_address(std::string(text), ec);
    if (ec) return std::nullopt;
    // A v4 client on a dual-stack socket shows as ::ffff:a.b.c.d; it is the v4 address.
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return boost::asio::ip::address(boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6()));
    return address;
}

std::string_view trimmedView(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// "scheme://host[:port]" of a URL, small letters, without the scheme's default port.
std::string originOf(std::string_view url) {
    auto colon = url.find("://");
    if (colon == std::string_view::npos) return lowered(url);
    auto end = url.find_first_of("/?#", colon + 3);
    std::string origin = lowered(url.substr(0, end));
    for (std::string_view defaultPort : {std::string_view("http://", 7), std::string_view("https://", 8)}) {
        std::string suffix = defaultPort.size() == 7 ? ":80" : ":443";
        if (origin.rfind(defaultPort, 0) == 0 && origin.size() > suffix.size() &&
            origin.compare(origin.size() - suffix.size(), suffix.size(), suffix) == 0)
            origin.resize(origin.size() - suffix.size());
    }
    return origin;
}

}  // namespace

TrustedProxies::TrustedProxies(const std::vector<std::string>& blocks) {
    for (const std::string& text : blocks) {
        std::string_view entry = trimmedView(text);
        if (entry.empty()) continue;
        auto slash = entry.find('/');
        auto address = parseAddress(entry.substr(0, slash));
        Block block;
        if (address) {
            block.v4 = address->is_v4();
            if (block.v4) {
                auto b = address->to_v4().to_bytes();
                std::copy(b.begin(), b.end(), block.bytes.begin());
            } else {
                block.bytes = address->to_v6().to_bytes();
            }
        }
        const int maxBits = block.v4 ? 32 : 128;
        block.bits = maxBits;
        bool good = address.has_value();
        if (good && slash != std::string_view::npos) {
            std::string_view bits = entry.substr(slash + 1);
            good = !bits.empty() && bits.size() <= 3 &&
                   std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; });
            if (good) block.bits = std::stoi(std::string(bits));
            good = good && block.bits <= maxBits;
        }
        if (!good) throw std::invalid_argument(text + " is not an address or CIDR block such as 10.0.0.0/8");
        blocks_.push_back(block);
    }
}

bool TrustedProxies::contains(std::string_view text) const {
    auto address = parseAddress(text);
    if (!address) return false;
    std::array<unsigned char, 16> bytes{};
    if (address->is_v4()) {
        auto b = address->to_v4().to_bytes();
        std::copy(b.begin(), b.end(), bytes.begin());
    } else {
        bytes = address->to_v6().to_bytes();
    }
    for (const Block& block : blocks_) {
        if (block.v4 != address->is_v4()) continue;
        int whole = block.bits / 8, rest = block.bits % 8;
        if (!std::equal(bytes.begin(), bytes.begin() + whole, block.bytes.begin())) continue;
        unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
        if (rest == 0 || (bytes[whole] & mask) == (block.bytes[whole] & mask)) return true;
    }
    return false;
}

std::string TrustedProxies::clientAddress(const std::string& peer, const std::string* forwardedFor) const {
    std::string client = peer;
    if (auto mapped = parseAddress(peer)) client = mapped->to_string();
    if (!forwardedFor) return client;
    std::string_view rest = *forwardedFor;
    while (contains(client) && !rest.empty()) {
        auto comma = rest.rfind(',');
        std::string_view hop = trimmedView(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(0, comma);
        auto address = parseAddress(hop);
        if (!address) break;  // what a trusted proxy would never write: believe no further
        client = address->to_string();
    }
    return client;
}

bool foreignOrigin(const std::string* origin, const std::string* referer, std::string_view ownScheme,
                   std::string_view ownHost) {
    const std::string* given = origin ? origin : referer;
    if (!given) return false;
    std::string own = originOf(std::string(ownScheme) + "://" + std::string(ownHost));
    return originOf(trimmedView(*given)) != own;
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
