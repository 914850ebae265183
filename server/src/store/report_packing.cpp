#include "store/report_packing.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "core/days.h"
#include "core/report_body.h"
#include "core/text_decoder.h"
#include "store/rollups.h"
#include "store/store.h"

namespace tallyscope::server::store {

namespace {

constexpr std::array<std::string_view, 12> kDeviceInfoKeys = {
    "devicecode", "appkey", "channelid", "pcosname", "mac", "pcosversion",
    "pcname", "pcusername", "windowssid", "pccpuid", "harddiskid", "mainboardcode"};
constexpr std::size_t kParamValues = 5;

// Tags of a packed value: inline text, the row's device identifier, its application key, an app
// event's client time as seconds from the arrival, or an interned string (kInterned + id).
constexpr std::uint64_t kInline = 0, kDevice = 1, kApp = 2, kClientTime = 3, kInterned = 4;

std::uint64_t zigzag(std::int64_t v) { return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63); }
std::int64_t unzigzag(std::uint64_t v) { return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1); }

// An app event's time as the library writes it, "2026-08-10%2000:03:34", and back.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
std::string clientTimeText(std::int64_t seconds) {
    const std::int64_t day = floorDiv(seconds, 86400), in = seconds - day * 86400;
    char clock[16];
    std::snprintf(clock, sizeof clock, "%%20%02d:%02d:%02d", static_cast<int>(in / 3600), static_cast<int>(in / 60 % 60),
                  static_cast<int>(in % 60));
    return ReportingDays::format(static_cast<int>(day)) + clock;
}
std::optional<std::int64_t> clientTimeSeconds(std::string_view raw) {
    if (raw.size() != 21 || raw.substr(10, 3) != "%20") return std::nullopt;
    const auto day = ReportingDays::parse(std::string(raw.substr(0, 10)));
    if (!day) return std::nullopt;
    std::int64_t clock = 0;
    for (std::size_t i : {13, 14, 16, 17, 19, 20}) {
        if (raw[i] < '0' || raw[i] > '9') return std::nullopt;
        clock = clock * 10 + (raw[i] - '0');
    }
    // Only a text rebuilt byte for byte: a parsed date formats back as it came, so the clock's
    // separators and ranges are all that is left to check.
    const std::int64_t hours = clock / 10000, minutes = clock / 100 % 100, secs = clock % 100;
    if (raw[15] != ':' || raw[18] != ':' || hours > 23 || minutes > 59 || secs > 59) return std::nullopt;
    return std::int64_t{*day} * 86400 + hours * 3600 + minutes * 60 + secs;
}

std::string_view paramKey(ReportKind kind, std::size_t i) {
    static constexpr std::array<std::string_view, 3> common = {"deviceid", "appkey", "channelid"};
    if (i < 3) return common[i];
    if (kind == ReportKind::Action) return i == 3 ? "actionname" : "actioncontent";
    return i == 3 ? "installtype" : "time";
}

std::string_view takeBytes(std::string_view& in, std::uint64_t n) {
    if (n > in.size()) throw StoreError("packed value cut short");
    std::string_view out = in.substr(0, static_cast<std::size_t>(n));
    in.remove_prefix(static_cast<std::size_t>(n));
    return out;
}

void putText(std::string& out, std::string_view text) {
    putVarint(out, text.size());
    out.append(text);
}

// The decoded text a body value stands for, as the report holds it.
template <typename R>
auto* decodedField(R& r, std::size_t i) {
    if (i == 0) return &r.deviceId;
    if (i == 1) return &r.appKey;
    if (i == 2) return &r.channel;
    if (r.kind == ReportKind::DeviceInfo) return &r.inventory[i - 3];
    return i == 3 ? &r.name : &r.content;
}

bool interned(ReportKind kind, std::size_t i) {
    if (i == 2) return true;
    if (kind == ReportKind::DeviceInfo) return i == 3 || i == 5;  // OS name and version
    return i == 3 || kind == ReportKind::Action;
}

}  // namespace

void putVarint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

std::uint64_t takeVarint(std::string_view& in) {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (in.empty()) break;
        const auto byte = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        v |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
        if (!(byte & 0x80)) return v;
    }
    throw StoreError("packed value cut short");
}

namespace {

bool isChannelValue(const DayValues::value_type& v) { return std::get<0>(v.first) == dimensionCode(Dimension::Channel); }

// True when `b` holds what `a` holds, less its channel values when `lessChannels`.
bool sameDay(const PartitionDay& a, const PartitionDay& b, bool lessChannels) {
    if (a.ae != b.ae || a.ac != b.ac || a.dr != b.dr) return false;
    if (a.values == b.values) return true;  // the usual case, dimension 0 alike too
    auto x = a.values.begin(), y = b.values.begin();
    for (;; ++x, ++y) {
        while (x != a.values.end() && (std::get<0>(x->first) == 0 || (lessChannels && isChannelValue(*x)))) ++x;
        while (y != b.values.end() && std::get<0>(y->first) == 0) ++y;
        if (x == a.values.end() || y == b.values.end()) return x == a.values.end() && y == b.values.end();
        if (*x != *y) return false;
    }
}

// Tags of a partition: its own figures, or those of the i-th before it (less its channel values).
constexpr std::uint64_t kOwn = 0;
std::uint64_t likeTag(std::size_t i, bool lessChannels) { return 1 + 2 * i + (lessChannels ? 1 : 0); }

}  // namespace

std::string packDeviceDay(const DeviceDay& day) {
    std::vector<std::pair<std::int64_t, const PartitionDay*>> parts;
    parts.reserve(day.size());
    for (const auto& [chan, d] : day) parts.emplace_back(chan, &d);
    return packDeviceDay(parts);
}

std::string packDeviceDay(const std::vector<std::pair<std::int64_t, const PartitionDay*>>& day) {
    std::string out;
    // Only partitions written with their own figures are compared with: one like another holds
    // what that one holds, or less.
    std::vector<std::size_t> own;
    own.reserve(day.size());
    for (std::size_t at = 0; at < day.size(); ++at) {
        const auto& [chan, dp] = day[at];
        const PartitionDay& d = *dp;
        putVarint(out, zigzag(chan));
        std::uint64_t tag = kOwn;
        for (std::size_t i = 0; i < own.size() && tag == kOwn; ++i)
            for (bool less : {false, true})
                if (sameDay(*day[own[i]].second, d, less)) {
                    tag = likeTag(own[i], less);
                    break;
                }
        putVarint(out, tag);
        if (tag != kOwn) continue;
        own.push_back(at);
        putVarint(out, static_cast<std::uint64_t>(d.ae));
        putVarint(out, static_cast<std::uint64_t>(d.ac));
        putVarint(out, static_cast<std::uint64_t>(d.dr));
        std::size_t count = 0;
        for (const auto& v : d.values) count += std::get<0>(v.first) != 0;
        putVarint(out, count);
        for (const auto& [key, reports] : d.values) {
            const auto& [dim, sub, value] = key;
            if (dim == 0) continue;
            putVarint(out, static_cast<std::uint64_t>(dim));
            putVarint(out, static_cast<std::uint64_t>(sub));
            putVarint(out, static_cast<std::uint64_t>(value));
            putVarint(out, static_cast<std::uint64_t>(reports));
        }
    }
    return out;
}

DeviceDay unpackDeviceDay(std::string_view packed) {
    DeviceDay out;
    std::vector<const PartitionDay*> read;
    while (!packed.empty()) {
        const std::int64_t chan = unzigzag(takeVarint(packed));
        const std::uint64_t tag = takeVarint(packed);
        PartitionDay& d = out[chan];
        if (tag != kOwn) {
            const std::size_t i = static_cast<std::size_t>((tag - 1) / 2);
            if (i >= read.size()) throw StoreError("packed day refers past its partitions");
            d = *read[i];
            if ((tag - 1) % 2)
                for (auto it = d.values.begin(); it != d.values.end();)
                    it = isChannelValue(*it) ? d.values.erase(it) : std::next(it);
        } else {
            d.ae = static_cast<std::int64_t>(takeVarint(packed));
            d.ac = static_cast<std::int64_t>(takeVarint(packed));
            d.dr = static_cast<std::int64_t>(takeVarint(packed));
            for (std::uint64_t n = takeVarint(packed); n > 0; --n) {
                const auto dim = static_cast<int>(takeVarint(packed));
                const auto sub = static_cast<std::int64_t>(takeVarint(packed));
                const auto value = static_cast<std::int64_t>(takeVarint(packed));
                d.values[{dim, sub, value}] = static_cast<std::int64_t>(takeVarint(packed));
            }
            d.values[{0, 0, 0}] = d.ae + d.ac + d.dr;
        }
        read.push_back(&d);
    }
    return out;
}

std::string packDevicePartitions(const DeviceRow& every, const std::map<std::int64_t, DeviceRow>& others) {
    std::string out;
    for (const auto& [chan, d] : others) {
        if (chan == 0) continue;  // partition 0 is `every`, in its own columns
        putVarint(out, zigzag(chan));
        const bool alike = std::tie(d.firstDay, d.firstMs, d.lastMs, d.appEvents, d.actions, d.deviceReports) ==
                           std::tie(every.firstDay, every.firstMs, every.lastMs, every.appEvents, every.actions,
                                    every.deviceReports);
        putVarint(out, alike ? 0 : 1);
        if (alike) continue;
        putVarint(out, zigzag(std::int64_t{d.firstDay} - every.firstDay));
        putVarint(out, zigzag(d.firstMs - every.firstMs));
        putVarint(out, zigzag(d.lastMs - every.lastMs));
        for (std::int64_t n : {d.appEvents, d.actions, d.deviceReports}) putVarint(out, static_cast<std::uint64_t>(n));
    }
    return out;
}

std::map<std::int64_t, DeviceRow> unpackDevicePartitions(const DeviceRow& every, std::string_view packed) {
    std::map<std::int64_t, DeviceRow> out;
    while (!packed.empty()) {
        const std::int64_t chan = unzigzag(takeVarint(packed));
        DeviceRow& d = out[chan];
        d = every;
        if (takeVarint(packed) == 0) continue;
        d.firstDay = static_cast<int>(every.firstDay + unzigzag(takeVarint(packed)));
        d.firstMs = every.firstMs + unzigzag(takeVarint(packed));
        d.lastMs = every.lastMs + unzigzag(takeVarint(packed));
        d.appEvents = static_cast<std::int64_t>(takeVarint(packed));
        d.actions = static_cast<std::int64_t>(takeVarint(packed));
        d.deviceReports = static_cast<std::int64_t>(takeVarint(packed));
    }
    return out;
}

std::optional<BodyValues> splitBody(std::string_view body) {
    BodyValues out;
    out.values.reserve(kDeviceInfoKeys.size());
    if (body.substr(0, 11) == "devicecode=") {
        out.kind = ReportKind::DeviceInfo;
        for (std::size_t i = 0;; ++i) {
            const std::size_t amp = body.find('&');
            std::string_view item = body.substr(0, amp);
            if (i >= kDeviceInfoKeys.size() || item.substr(0, kDeviceInfoKeys[i].size()) != kDeviceInfoKeys[i] ||
                item.substr(kDeviceInfoKeys[i].size(), 1) != "=")
                return std::nullopt;
            out.values.push_back(item.substr(kDeviceInfoKeys[i].size() + 1));
            if (amp == std::string_view::npos) break;
            body.remove_prefix(amp + 1);
        }
        if (out.values.size() < 2) return std::nullopt;
        return out;
    }
    if (body.substr(0, 7) != "Param={" || body.size() < 8 || body.back() != '}') return std::nullopt;
    body = body.substr(7, body.size() - 8);
    for (std::size_t i = 0;; ++i) {
        const std::size_t comma = body.find(',');
        std::string_view item = body.substr(0, comma);
        if (i >= kParamValues) return std::nullopt;
        if (i == 3) out.kind = item.substr(0, 16) == "%22actionname%22" ? ReportKind::Action : ReportKind::AppEvent;
        // "%22" key "%22:%22" value "%22"
        const std::string_view key = paramKey(out.kind, i);
        constexpr std::string_view quote = "%22", colon = "%22:%22";
        const std::size_t open = quote.size() + key.size() + colon.size();
        if (item.size() < open + quote.size() || item.substr(0, quote.size()) != quote ||
            item.substr(quote.size(), key.size()) != key || item.substr(quote.size() + key.size(), colon.size()) != colon ||
            item.substr(item.size() - quote.size()) != quote)
            return std::nullopt;
        out.values.push_back(item.substr(open, item.size() - open - 3));
        if (comma == std::string_view::npos) break;
        body.remove_prefix(comma + 1);
    }
    if (out.values.size() != kParamValues) return std::nullopt;
    return out;
}

namespace {

// The body of a report's values, written to `out`: a string, or a BodyCheck.
template <typename Text, typename Out>
void writeBody(ReportKind kind, const std::vector<Text>& values, Out& out) {
    if (kind == ReportKind::DeviceInfo) {
        for (std::size_t i = 0; i < values.size() && i < kDeviceInfoKeys.size(); ++i) {
            if (i) out.append("&");
            out.append(kDeviceInfoKeys[i]).append("=").append(values[i]);
        }
        return;
    }
    out.append("Param={");
    for (std::size_t i = 0; i < values.size() && i < kParamValues; ++i) {
        if (i) out.append(",");
        out.append("%22").append(paramKey(kind, i)).append("%22:%22").append(values[i]).append("%22");
    }
    out.append("}");
}

// Compares what writeBody writes with a body as it goes, so checking that a body comes back byte
// for byte costs no copy of it.
class BodyCheck {
public:
    explicit BodyCheck(std::string_view body) : rest_(body) {}
    BodyCheck& append(std::string_view piece) {
        if (same_ && rest_.substr(0, piece.size()) == piece) rest_.remove_prefix(piece.size());
        else same_ = false;
        return *this;
    }
    bool matches() const { return same_ && rest_.empty(); }

private:
    std::string_view rest_;
    bool same_ = true;
};

}  // namespace

std::string buildBody(ReportKind kind, const std::vector<std::string>& values) {
    std::string out;
    writeBody(kind, values, out);
    return out;
}

std::optional<std::string> packReport(const Report& r, const PackedTexts& texts) {
    const auto split = splitBody(r.body);
    if (!split || split->kind != r.kind) return std::nullopt;
    const std::size_t n = split->values.size();
    // Every text the report holds must come back from the body alone, whatever code page the
    // server runs with then: the values percent-decoded, valid UTF-8, and nothing beyond them.
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view raw = split->values[i];
        if (raw.find('%') == std::string_view::npos) {  // decodes to itself
            if (!isValidUtf8(raw) || raw != *decodedField(r, i)) return std::nullopt;
            continue;
        }
        const std::string decoded = percentDecode(raw);
        if (!isValidUtf8(decoded) || decoded != *decodedField(r, i)) return std::nullopt;
    }
    const std::size_t fields = r.kind == ReportKind::DeviceInfo ? 3 + r.inventory.size() : kParamValues;
    for (std::size_t i = n; i < fields; ++i)
        if (!decodedField(r, i)->empty()) return std::nullopt;
    if (r.kind == ReportKind::DeviceInfo ? !r.name.empty() || !r.content.empty()
                                         : std::any_of(r.inventory.begin(), r.inventory.end(),
                                                       [](const std::string& s) { return !s.empty(); }))
        return std::nullopt;
    BodyCheck rebuilt(r.body);
    writeBody(r.kind, split->values, rebuilt);
    if (!rebuilt.matches()) return std::nullopt;

    std::string out;
    putVarint(out, n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view raw = split->values[i];
        const std::string& decoded = *decodedField(r, i);
        if (raw == decoded && i < 2) {
            putVarint(out, i == 0 ? kDevice : kApp);
            continue;
        }
        if (raw == decoded && interned(r.kind, i))
            if (auto id = texts.intern(decoded); id && *id >= 0) {
                putVarint(out, kInterned + static_cast<std::uint64_t>(*id));
                continue;
            }
        if (r.kind == ReportKind::AppEvent && i == 4)
            if (auto seconds = clientTimeSeconds(raw)) {
                putVarint(out, kClientTime);
                putVarint(out, zigzag(*seconds - floorDiv(r.arrivedMs, 1000)));
                continue;
            }
        putVarint(out, kInline);
        putText(out, raw);
    }
    return out;
}

void unpackReport(std::string_view packed, Report& r, const PackedTexts& texts) {
    const std::uint64_t n = takeVarint(packed);
    if (n > kDeviceInfoKeys.size()) throw StoreError("packed report has too many values");
    std::vector<std::string> values;
    values.reserve(static_cast<std::size_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t tag = takeVarint(packed);
        if (tag == kInline) values.emplace_back(takeBytes(packed, takeVarint(packed)));
        else if (tag == kDevice) values.push_back(r.deviceId);
        else if (tag == kApp) values.push_back(r.appKey);
        else if (tag == kClientTime) values.push_back(clientTimeText(unzigzag(takeVarint(packed)) + floorDiv(r.arrivedMs, 1000)));
        else values.push_back(texts.text(static_cast<std::int64_t>(tag - kInterned)));
    }
    r.body = buildBody(r.kind, values);
    r.name.clear();
    r.content.clear();
    for (std::string& v : r.inventory) v.clear();
    r.channel = values.size() > 2 ? percentDecode(values[2]) : std::string();
    for (std::size_t i = 3; i < values.size(); ++i) {
        if (r.kind != ReportKind::DeviceInfo && i >= kParamValues) break;
        *decodedField(r, i) = percentDecode(values[i]);
    }
}

std::string packDecodedTexts(const Report& r) {
    std::string out;
    putText(out, r.channel);
    putText(out, r.name);
    putText(out, r.content);
    for (const std::string& v : r.inventory) putText(out, v);
    return out;
}

void unpackDecodedTexts(std::string_view packed, Report& r) {
    for (std::string* field : {&r.channel, &r.name, &r.content}) *field = std::string(takeBytes(packed, takeVarint(packed)));
    for (std::string& v : r.inventory) v = std::string(takeBytes(packed, takeVarint(packed)));
}

}  // namespace tallyscope::server::store
