// A generated report set with known answers, and the answers computed the slow, obvious way from
// the raw reports, to hold the store's rollups against.
//
// The set is built in America/New_York and spans the start of daylight-saving time. The oracle
// computes local days with its own fixed offsets for 2026 (not with the store's day code). It
// holds: days nobody reports on, devices active on both sides of local midnight, devices in two
// channels, two applications, a device whose OS changes, values tied on report counts, cohorts
// with returns after 1, 7 and 30 days, and reports that arrive after later ones.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "store/store.h"

namespace tallyscope::server::testing {

inline constexpr const char* kOracleZone = "America/New_York";
inline constexpr std::int64_t kHourMs = 3600000;

inline std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// 2026-03-08 07:00 UTC to 2026-11-01 06:00 UTC is daylight-saving time in New York.
inline bool oracleDst(std::int64_t ms) { return ms >= 1772953200000 && ms < 1793512800000; }
inline int oracleDay(std::int64_t ms) {
    return static_cast<int>(floorDiv(ms + (oracleDst(ms) ? -4 : -5) * kHourMs, 86400000));
}

inline const int kFirstDay = 20504;  // 2026-02-20
inline const std::set<int> kSilentDays = {kFirstDay + 5, kFirstDay + 17, kFirstDay + 33};

// The client's escaping: bytes below 32 and from 127, space and "#$&+,;<=>?@[\\]^`{|}\" become
// %xx in small hex; '%' itself is never escaped.
inline std::string escaped(const std::string& v) {
    static const std::string unsafe = " \"#$&+,;<=>?@[\\]^`{|}";
    std::string out;
    for (unsigned char c : v) {
        if (c < 32 || c >= 127 || unsafe.find(static_cast<char>(c)) != std::string::npos) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

inline Report makeReport(std::int64_t ms, ReportKind kind, const std::string& device, const std::string& app,
                         const std::string& channel, const std::string& name, const std::string& content,
                         const std::array<std::string, 9>& inventory = {}) {
    Report r;
    r.arrivedMs = ms;
    r.kind = kind;
    r.deviceId = device;
    r.appKey = app;
    r.channel = channel;
    if (kind == ReportKind::DeviceInfo) {
        r.inventory = inventory;
        r.body = "devicecode=" + escaped(device) + "&appkey=" + escaped(app) + "&channelid=" + escaped(channel);
        for (std::size_t i = 0; i < 9; ++i) r.body += std::string("&") + kInventoryKeys[i] + "=" + escaped(inventory[i]);
        return r;
    }
    r.name = name;
    r.content = content;
    const bool event = kind == ReportKind::AppEvent;
    r.body = "Param={%22deviceid%22:%22" + escaped(device) + "%22,%22appkey%22:%22" + escaped(app) +
             "%22,%22channelid%22:%22" + escaped(channel) + "%22,%22" + (event ? "installtype" : "actionname") +
             "%22:%22" + escaped(name) + "%22,%22" + (event ? "time" : "actioncontent") + "%22:%22" +
             escaped(content) + "%22}";
    return r;
}

// A UTC moment (whole seconds) at `second` past local midnight of `day`.
inline std::int64_t localMoment(int day, int second) {
    const std::int64_t local = (static_cast<std::int64_t>(day) * 86400 + second) * 1000;
    return oracleDst(local + 5 * kHourMs) ? local + 4 * kHourMs : local + 5 * kHourMs;
}

struct DataSet {
    std::vector<Report> reports;  // in the order they are appended
    std::vector<std::vector<Report>> batches;  // the reports, plus repeats of report ids within a batch
};

inline DataSet generate() {
    std::mt19937 rng(20261208);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const std::vector<std::string> channels = {"", "store", "beta"};
    const std::vector<std::string> events = {"app_start", "app_exit", "update"};
    const std::vector<std::string> actions = {"click", "open", "save"};
    const std::vector<std::string> contents = {"menu", "toolbar", "x,y", "gr\xC3\xB6\xC3\x9F" "e", "50%"};
    std::vector<Report> all;
    std::set<std::pair<std::string, std::int64_t>> taken;  // one report per device and second
    auto add = [&](Report r) {
        if (taken.insert({r.appKey + "/" + r.deviceId, r.arrivedMs}).second) all.push_back(std::move(r));
    };
    for (int i = 0; i < 80; ++i) {
        char id[40];
        std::snprintf(id, sizeof id, "%032X", 0xA11CE000u + static_cast<unsigned>(i) * 7919u);
        const std::string device = i == 79 ? std::string("Unknown PCID") : id;
        std::vector<std::string> apps = {"k1"};
        if (i % 5 == 0) apps.push_back("k2");
        const std::string home = channels[static_cast<std::size_t>(i % 3)];
        const int first = kFirstDay + pick(40);
        std::set<int> active = {first};
        for (int d = first + 1; d <= first + 45; ++d)
            if (pick(4) == 0) active.insert(d);
        if (i % 4 == 0) active.insert(first + 1);
        if (i % 6 == 0) active.insert(first + 7);
        if (i % 8 == 0) active.insert(first + 30);
        for (const std::string& app : apps) {
            for (int day : active) {
                if (kSilentDays.count(day)) continue;
                const int n = 1 + pick(4);
                for (int k = 0; k < n; ++k) {
                    const std::string channel = (i % 7 == 0 && pick(3) == 0) ? std::string("beta") : home;
                    const std::int64_t ms = localMoment(day, pick(86400));
                    const int kind = pick(10);
                    if (kind < 5) {
                        add(makeReport(ms, ReportKind::AppEvent, device, app, channel,
                                       events[static_cast<std::size_t>(pick(3))], "2026-03-01 10:00:00"));
                    } else if (kind < 8) {
                        add(makeReport(ms, ReportKind::Action, device, app, channel,
                                       actions[static_cast<std::size_t>(pick(3))],
                                       contents[static_cast<std::size_t>(pick(5))]));
                    } else {
                        // Device 3 moves to Windows 11 halfway through.
                        const bool eleven = (i % 2 == 1) || (i == 3 && day > first + 10);
                        add(makeReport(ms, ReportKind::DeviceInfo, device, app, channel, "", "",
                                       {eleven ? "Windows 11 Home" : "Windows 10 Pro", "00:11:22:33:44:55",
                                        eleven ? "10.0.22631" : "10.0.19045", "PC" + std::to_string(i),
                                        "PC\\user", "S-1-5-21-" + std::to_string(i), "BFEBFBFF000906EA",
                                        "WD-" + std::to_string(i), "N/A"}));
                    }
                }
            }
        }
    }
    // Two values tied on report counts, and a device on both sides of local midnight (and of
    // the UTC date line, which falls at 19:00 or 20:00 local time).
    for (const char* tied : {"tie_b", "tie_a"})
        for (int k = 0; k < 2; ++k)
            add(makeReport(localMoment(kFirstDay + 20, 3600 * (tied[4] == 'a' ? 3 : 5) + k), ReportKind::AppEvent,
                           "EDGE0000000000000000000000000001", "k1", "store", tied, "2026-03-12 01:00:00"));
    for (int day : {kFirstDay + 10, kFirstDay + 11, kFirstDay + 22}) {
        for (int second : {86400 - 600, 600, 3600 * 20 + 30}) {
            add(makeReport(localMoment(day, second), ReportKind::Action, "EDGE0000000000000000000000000002", "k1", "",
                           "open", "midnight"));
        }
    }
    std::stable_sort(all.begin(), all.end(), [](const Report& a, const Report& b) { return a.arrivedMs < b.arrivedMs; });

    // Every ninth report comes late, after all the others: devices then gain earlier first days
    // and values earlier active days than the store already holds.
    // Three reports in four carry a report id, as the library sends them; the rest are from
    // senders without one.
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i % 4 == 3) continue;
        char id[33];
        std::snprintf(id, sizeof id, "%016llx%016llx", 0x5eedULL + i * 0x9e3779b97f4a7c15ULL, static_cast<unsigned long long>(i));
        all[i].reportId = id;
    }
    DataSet set;
    std::vector<Report> late;
    for (std::size_t i = 0; i < all.size(); ++i) (i % 9 == 4 ? late : set.reports).push_back(all[i]);
    set.reports.insert(set.reports.end(), late.begin(), late.end());
    for (std::size_t i = 0; i < set.reports.size(); i += 37) {
        set.batches.emplace_back(set.reports.begin() + static_cast<std::ptrdiff_t>(i),
                                 set.reports.begin() + static_cast<std::ptrdiff_t>(std::min(i + 37, set.reports.size())));
        // A sender's retry that reached the server twice in one group commit.
        std::vector<Report>& batch = set.batches.back();
        for (std::size_t k = 0; k < batch.size(); ++k)
            if (!batch[k].reportId.empty() && k % 5 == 0) batch.push_back(batch[k]);
    }
    // Two more batches. The first holds a report late on the 23-hour day of 2026-03-08 and one
    // just after the next local midnight, which fall on two days; and the newer of a device's
    // two inventories, whose older one only comes in the second batch and must not replace it.
    const std::array<std::string, 9> older = {"Windows 10 Pro", "00:11:22:33:44:66", "10.0.19045", "PCX", "PCX\\a",
                                               "S-1-5-21-9", "BFEBFBFF000906EA", "WD-9", "N/A"};
    std::array<std::string, 9> newer = older;
    newer[0] = "Windows 11 Pro";
    newer[2] = "10.0.22631";
    const std::string edge3 = "EDGE0000000000000000000000000003", edge4 = "EDGE0000000000000000000000000004";
    set.batches.push_back({makeReport(localMoment(kFirstDay + 30, 600), ReportKind::DeviceInfo, edge4, "k2", "", "", "", newer),
                           makeReport(localMoment(kFirstDay + 16, 86400 - 1800), ReportKind::Action, edge3, "k2", "",
                                      "open", "late"),
                           makeReport(localMoment(kFirstDay + 17, 600), ReportKind::Action, edge3, "k2", "", "open",
                                      "early")});
    set.batches.push_back({makeReport(localMoment(kFirstDay + 25, 600), ReportKind::DeviceInfo, edge4, "k2", "", "", "", older)});
    for (std::size_t b = set.batches.size() - 2; b < set.batches.size(); ++b)
        set.reports.insert(set.reports.end(), set.batches[b].begin(), set.batches[b].end());
    return set;
}

// The figures, straight from the raw reports.
struct Oracle {
    std::vector<Report> reports;

    static bool inChannel(const Report& r, const std::optional<std::string>& channel) {
        return !channel || r.channel == *channel;
    }
    std::map<std::string, int> firstDays(const std::string& app, const std::optional<std::string>& channel) const {
        std::map<std::string, int> first;
        for (const Report& r : reports)
            if (r.appKey == app && inChannel(r, channel)) {
                auto [it, fresh] = first.emplace(r.deviceId, oracleDay(r.arrivedMs));
                if (!fresh) it->second = std::min(it->second, oracleDay(r.arrivedMs));
            }
        return first;
    }
    std::set<std::pair<std::string, int>> activeDays(const std::string& app, const std::optional<std::string>& channel) const {
        std::set<std::pair<std::string, int>> out;
        for (const Report& r : reports)
            if (r.appKey == app && inChannel(r, channel)) out.insert({r.deviceId, oracleDay(r.arrivedMs)});
        return out;
    }

    std::vector<AppSummary> apps() const {
        std::map<std::string, AppSummary> by;
        std::map<std::string, std::set<std::string>> devices;
        for (const Report& r : reports) {
            AppSummary& a = by[r.appKey];
            const int day = oracleDay(r.arrivedMs);
            if (a.reports == 0) a.firstDay = a.lastDay = day;
            a.appKey = r.appKey;
            a.reports++;
            a.firstDay = std::min(a.firstDay, day);
            a.lastDay = std::max(a.lastDay, day);
            devices[r.appKey].insert(r.deviceId);
        }
        std::vector<AppSummary> out;
        for (auto& [k, a] : by) {
            a.devices = static_cast<std::int64_t>(devices[k].size());
            out.push_back(a);
        }
        return out;
    }

    std::vector<DayFigures> daily(const std::string& app, int from, int to, const std::optional<std::string>& channel) const {
        std::vector<DayFigures> out;
        for (int d = from; d <= to; ++d) out.push_back(DayFigures{d});
        for (const auto& [device, day] : activeDays(app, channel))
            if (day >= from && day <= to) out[static_cast<std::size_t>(day - from)].activeDevices++;
        for (const auto& [device, day] : firstDays(app, channel))
            if (day >= from && day <= to) out[static_cast<std::size_t>(day - from)].newDevices++;
        for (const Report& r : reports) {
            const int day = oracleDay(r.arrivedMs);
            if (r.appKey != app || !inChannel(r, channel) || day < from || day > to) continue;
            DayFigures& f = out[static_cast<std::size_t>(day - from)];
            (r.kind == ReportKind::AppEvent ? f.appEvents : r.kind == ReportKind::Action ? f.actions : f.deviceReports)++;
        }
        return out;
    }

    std::int64_t activeDevices(const std::string& app, int from, int to, const std::optional<std::string>& channel) const {
        std::set<std::string> devices;
        for (const auto& [device, day] : activeDays(app, channel))
            if (day >= from && day <= to) devices.insert(device);
        return static_cast<std::int64_t>(devices.size());
    }

    std::vector<TopRow> top(const TopQuery& q) const {
        std::map<std::string, std::pair<std::int64_t, std::set<std::string>>> by;
        for (const Report& r : reports) {
            const int day = oracleDay(r.arrivedMs);
            if (r.appKey != q.appKey || !inChannel(r, q.channel) || day < q.fromDay || day > q.toDay) continue;
            std::optional<std::string> value;
            switch (q.dimension) {
            case Dimension::Event: if (r.kind == ReportKind::AppEvent) value = r.name; break;
            case Dimension::Action: if (r.kind == ReportKind::Action) value = r.name; break;
            case Dimension::Content:
                if (r.kind == ReportKind::Action && (!q.action || *q.action == r.name)) value = r.content;
                break;
            case Dimension::Channel: value = r.channel; break;
            case Dimension::Os: if (r.kind == ReportKind::DeviceInfo) value = r.inventory[0]; break;
            case Dimension::OsVersion: if (r.kind == ReportKind::DeviceInfo) value = r.inventory[2]; break;
            }
            if (!value) continue;
            auto& entry = by[*value];
            entry.first++;
            entry.second.insert(r.deviceId);
        }
        std::vector<TopRow> out;
        for (const auto& [value, e] : by) out.push_back({value, e.first, static_cast<std::int64_t>(e.second.size())});
        std::stable_sort(out.begin(), out.end(), [](const TopRow& a, const TopRow& b) { return a.reports > b.reports; });
        if (out.size() > static_cast<std::size_t>(q.limit)) out.resize(static_cast<std::size_t>(q.limit));
        return out;
    }

    std::vector<Cohort> retention(const std::string& app, int from, int to, int today,
                                  const std::optional<std::string>& channel) const {
        const auto first = firstDays(app, channel);
        const auto active = activeDays(app, channel);
        std::vector<Cohort> out;
        for (int d = from; d <= to; ++d) {
            Cohort c;
            c.day = d;
            std::map<int, std::int64_t> kept;
            for (const auto& [device, f] : first) {
                if (f != d) continue;
                c.newDevices++;
                for (int n : {1, 7, 30}) kept[n] += active.count({device, d + n});
            }
            auto share = [&](int n) -> std::optional<double> {
                if (c.newDevices == 0 || d + n >= today) return std::nullopt;
                return static_cast<double>(kept[n]) / static_cast<double>(c.newDevices);
            };
            c.d1 = share(1);
            c.d7 = share(7);
            c.d30 = share(30);
            out.push_back(c);
        }
        return out;
    }

    std::optional<DeviceSummary> device(const std::string& app, const std::string& deviceId) const {
        std::optional<DeviceSummary> out;
        std::int64_t latestInfo = INT64_MIN;
        std::set<int> days;
        for (const Report& r : reports) {
            if (r.appKey != app || r.deviceId != deviceId) continue;
            days.insert(oracleDay(r.arrivedMs));
            if (!out) out = DeviceSummary{deviceId, r.arrivedMs, r.arrivedMs, 0, 0, 0, std::nullopt};
            out->firstSeenMs = std::min(out->firstSeenMs, r.arrivedMs);
            out->lastSeenMs = std::max(out->lastSeenMs, r.arrivedMs);
            (r.kind == ReportKind::AppEvent ? out->appEvents : r.kind == ReportKind::Action ? out->actions : out->deviceReports)++;
            if (r.kind == ReportKind::DeviceInfo && r.arrivedMs >= latestInfo) {
                latestInfo = r.arrivedMs;
                out->inventory = r.inventory;
            }
        }
        if (out) out->daysActive = static_cast<std::int64_t>(days.size());
        return out;
    }

    // Devices whose identifier starts with the text or whose latest computer or user name holds
    // it (starts with it, for a text of one or two characters), ASCII case folded; the most
    // recently seen first.
    std::vector<std::tuple<std::string, std::string, std::string, std::string, std::int64_t>> findDevices(
        const std::string& app, const std::string& text, std::size_t limit) const {
        auto lower = [](std::string v) {
            for (char& c : v) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            return v;
        };
        std::map<std::string, std::pair<std::int64_t, const Report*>> seen;  // last arrival, latest inventory
        for (const Report& r : reports) {
            if (r.appKey != app) continue;
            auto& [last, info] = seen.emplace(r.deviceId, std::make_pair(r.arrivedMs, nullptr)).first->second;
            last = std::max(last, r.arrivedMs);
            if (r.kind == ReportKind::DeviceInfo && (!info || r.arrivedMs >= info->arrivedMs)) info = &r;
        }
        const std::string q = lower(text);
        const bool shortText = std::count_if(q.begin(), q.end(), [](char c) { return (c & 0xC0) != 0x80; }) < 3;
        auto holds = [&](const std::string& v) { return shortText ? lower(v).rfind(q, 0) == 0 : lower(v).find(q) != std::string::npos; };
        std::vector<std::tuple<std::string, std::string, std::string, std::string, std::int64_t>> out;
        for (const auto& [id, s] : seen) {
            const Report* info = s.second;
            if (lower(id).rfind(q, 0) == 0 || (info && (holds(info->inventory[3]) || holds(info->inventory[4]))))
                out.emplace_back(id, info ? info->inventory[3] : "", info ? info->inventory[4] : "",
                                 info ? info->inventory[0] : "", s.first);
        }
        std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
            return std::get<4>(a) != std::get<4>(b) ? std::get<4>(a) > std::get<4>(b) : std::get<0>(a) < std::get<0>(b);
        });
        if (out.size() > limit) out.resize(limit);
        return out;
    }

    // (arrival, device, body, report id) of the key's reports in the range, in arrival order.
    std::vector<std::tuple<std::int64_t, std::string, std::string, std::string>> exported(
        const std::string& app, std::int64_t fromMs, std::int64_t toMs) const {
        std::vector<std::tuple<std::int64_t, std::string, std::string, std::string>> out;
        for (const Report& r : reports)
            if (r.appKey == app && r.arrivedMs >= fromMs && r.arrivedMs < toMs)
                out.emplace_back(r.arrivedMs, r.deviceId, r.body, r.reportId);
        std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
        return out;
    }
};

// Flat forms gtest can compare and print.
inline std::vector<std::tuple<std::string, std::string, std::string, std::string, std::int64_t>> flat(
    const std::vector<DeviceMatch>& v) {
    std::vector<std::tuple<std::string, std::string, std::string, std::string, std::int64_t>> out;
    for (const DeviceMatch& m : v) out.emplace_back(m.deviceId, m.pcName, m.pcUserName, m.pcOsName, m.lastSeenMs);
    return out;
}
inline std::vector<std::tuple<int, std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t>> flat(
    const std::vector<DayFigures>& v) {
    std::vector<std::tuple<int, std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t>> out;
    for (const auto& f : v) out.emplace_back(f.day, f.activeDevices, f.newDevices, f.appEvents, f.actions, f.deviceReports);
    return out;
}
inline std::vector<std::tuple<std::string, std::int64_t, std::int64_t>> flat(const std::vector<TopRow>& v) {
    std::vector<std::tuple<std::string, std::int64_t, std::int64_t>> out;
    for (const auto& r : v) out.emplace_back(r.value, r.reports, r.devices);
    return out;
}
inline std::vector<std::tuple<int, std::int64_t, double, double, double>> flat(const std::vector<Cohort>& v) {
    std::vector<std::tuple<int, std::int64_t, double, double, double>> out;
    for (const auto& c : v) out.emplace_back(c.day, c.newDevices, c.d1.value_or(-1), c.d7.value_or(-1), c.d30.value_or(-1));
    return out;
}
inline std::vector<std::tuple<std::string, std::int64_t, std::int64_t, int, int>> flat(const std::vector<AppSummary>& v) {
    std::vector<std::tuple<std::string, std::int64_t, std::int64_t, int, int>> out;
    for (const auto& a : v) out.emplace_back(a.appKey, a.devices, a.reports, a.firstDay, a.lastDay);
    return out;
}
inline std::optional<std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                                std::optional<std::array<std::string, 9>>>>
flat(const std::optional<DeviceSummary>& d) {
    if (!d) return std::nullopt;
    return std::make_tuple(d->firstSeenMs, d->lastSeenMs, d->appEvents, d->actions, d->deviceReports, d->daysActive,
                           d->inventory);
}

// The figures under OS filters, straight from the raw reports: a report's OS is that of the
// latest device-information report of its device and key that arrived at or before it ("" when
// none had), and a filtered figure is the plain figure of the matching reports alone.
struct FilterOracle {
    std::vector<Report> reports;
    std::vector<std::pair<std::string, std::string>> os;  // (os name, os version) of each report

    explicit FilterOracle(std::vector<Report> all) : reports(std::move(all)) {
        std::map<std::pair<std::string, std::string>, std::map<std::int64_t, std::pair<std::string, std::string>>> infos;
        for (const Report& r : reports)
            if (r.kind == ReportKind::DeviceInfo) infos[{r.appKey, r.deviceId}][r.arrivedMs] = {r.inventory[0], r.inventory[2]};
        for (const Report& r : reports) {
            const auto& mine = infos[{r.appKey, r.deviceId}];
            auto after = mine.upper_bound(r.arrivedMs);
            os.push_back(after == mine.begin() ? std::make_pair(std::string(), std::string()) : std::prev(after)->second);
        }
    }
    bool passes(std::size_t i, const Filters& f) const {
        return (!f.channel || reports[i].channel == *f.channel) && (!f.os || os[i].first == *f.os) &&
               (!f.osversion || os[i].second == *f.osversion);
    }
    Oracle matching(const Filters& f) const {
        Oracle out;
        for (std::size_t i = 0; i < reports.size(); ++i)
            if (passes(i, f)) out.reports.push_back(reports[i]);
        return out;
    }

    Breakdown breakdown(const BreakdownQuery& q) const {
        const std::size_t length = static_cast<std::size_t>(q.toDay - q.fromDay + 1);
        struct Entry {
            std::vector<BreakdownDay> days;
            std::vector<std::set<std::string>> dayDevices;
            std::set<std::string> devices;
            std::int64_t reports = 0;
        };
        std::map<std::string, Entry> by;
        for (std::size_t i = 0; i < reports.size(); ++i) {
            const Report& r = reports[i];
            const int day = oracleDay(r.arrivedMs);
            if (r.appKey != q.appKey || day < q.fromDay || day > q.toDay || !passes(i, q.filters)) continue;
            std::optional<std::string> value;
            switch (q.dimension) {
            case Dimension::Event: if (r.kind == ReportKind::AppEvent) value = r.name; break;
            case Dimension::Action: if (r.kind == ReportKind::Action) value = r.name; break;
            case Dimension::Channel: value = r.channel; break;
            case Dimension::Os: value = os[i].first; break;
            case Dimension::OsVersion: value = os[i].second; break;
            case Dimension::Content: break;
            }
            if (!value) continue;
            Entry& e = by[*value];
            if (e.days.empty()) {
                e.days.assign(length, {});
                e.dayDevices.assign(length, {});
            }
            const std::size_t d = static_cast<std::size_t>(day - q.fromDay);
            e.days[d].reports++;
            e.dayDevices[d].insert(r.deviceId);
            e.devices.insert(r.deviceId);
            e.reports++;
        }
        std::vector<std::pair<std::string, Entry*>> ranked;
        for (auto& [value, e] : by) {
            for (std::size_t d = 0; d < length; ++d) e.days[d].devices = static_cast<std::int64_t>(e.dayDevices[d].size());
            ranked.emplace_back(value, &e);
        }
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const auto& a, const auto& b) { return a.second->reports > b.second->reports; });
        Breakdown out;
        out.other.assign(length, {});
        for (std::size_t i = 0; i < ranked.size(); ++i) {
            const Entry& e = *ranked[i].second;
            if (i < static_cast<std::size_t>(q.limit)) {
                out.series.push_back({ranked[i].first, e.days, e.reports, static_cast<std::int64_t>(e.devices.size())});
                continue;
            }
            for (std::size_t d = 0; d < length; ++d) {
                out.other[d].reports += e.days[d].reports;
                out.other[d].devices += e.days[d].devices;
            }
        }
        return out;
    }
};

inline std::vector<std::tuple<std::string, std::int64_t, std::int64_t, std::vector<std::pair<std::int64_t, std::int64_t>>>>
flat(const Breakdown& b) {
    std::vector<std::tuple<std::string, std::int64_t, std::int64_t, std::vector<std::pair<std::int64_t, std::int64_t>>>> out;
    auto days = [](const std::vector<BreakdownDay>& v) {
        std::vector<std::pair<std::int64_t, std::int64_t>> o;
        for (const auto& d : v) o.emplace_back(d.reports, d.devices);
        return o;
    };
    for (const auto& s : b.series) out.emplace_back(s.value, s.reports, s.devices, days(s.days));
    out.emplace_back("(other)", 0, 0, days(b.other));
    return out;
}

}  // namespace tallyscope::server::testing
