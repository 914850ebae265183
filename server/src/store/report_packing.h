// How the SQLite store keeps a report and a device-day's values in few bytes. Pure functions over
// bytes, so the layout is tested without a database.
//
// A report body is one of two fixed templates with the sender's values between the literals; the
// store keeps only the values, as they stand in the body (still percent-encoded), and names a
// value it already holds as text (the device identifier, the application key, an interned
// string) by reference. The template rebuilds the body byte for byte; a body it would not (or
// whose decoded texts differ from the values percent-decoded, as with a legacy code page) is
// kept as it came, with its decoded texts beside it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/report.h"
#include "store/rollups.h"
#include "store/sorted_map.h"

namespace tallyscope::server::store {

// Unsigned LEB128; `take` throws StoreError on a value cut short.
void putVarint(std::string& out, std::uint64_t v);
std::uint64_t takeVarint(std::string_view& in);

// A device's day: per partition its reports by kind and its reports per value,
// (dimension, sub, value) -> reports. Packed, dimension 0 (every report) is left out, as it is
// the day's own total; and a partition that saw the same reports as one before it (a device in
// one channel and on one OS that day is in eight partitions alike) names that one instead.
using DayValues = SortedMap<std::tuple<int, std::int64_t, std::int64_t>, std::int64_t>;
struct PartitionDay {
    std::int64_t ae = 0, ac = 0, dr = 0;
    DayValues values;
};
using DeviceDay = std::map<std::int64_t, PartitionDay>;  // partition (chan) -> its day

// A device's days per partition (chan -> day -> its figures, in day order), as both backends hold
// them while a batch runs, read back as the rollups' rows. Days come in order, so each value's
// previous day is the last one seen for it.
template <class Days>
std::vector<DeviceDayRow> deviceDayRowsOf(const std::map<std::int64_t, Days>& chans) {
    std::vector<DeviceDayRow> out;
    for (const auto& [chan, days] : chans)
        for (const auto& [day, d] : days) out.push_back({chan, day, d.ae, d.ac, d.dr});
    return out;
}
template <class Days>
std::vector<ValueDeviceDay> valueDeviceDaysOf(const std::map<std::int64_t, Days>& chans) {
    std::vector<ValueDeviceDay> out;
    for (const auto& [chan, days] : chans) {
        std::map<DayValues::key_type, int> last;
        for (const auto& [day, d] : days)
            for (const auto& [v, reports] : d.values) {
                auto seen = last.try_emplace(v, kNoDay).first;
                out.push_back({ValueKey{chan, std::get<0>(v), std::get<1>(v), std::get<2>(v)}, day, seen->second, reports});
                seen->second = day;
            }
    }
    return out;
}
std::string packDeviceDay(const DeviceDay& day);
// The same from partitions held elsewhere, in partition order.
std::string packDeviceDay(const std::vector<std::pair<std::int64_t, const PartitionDay*>>& day);
DeviceDay unpackDeviceDay(std::string_view packed);  // dimension 0 restored

// A device's totals per partition: partition 0's stand in their own columns, the others are
// packed beside them, as differences from partition 0's (a partition alike costs two bytes);
// partition 0 in `others` is left out.
std::string packDevicePartitions(const DeviceRow& every, const std::map<std::int64_t, DeviceRow>& others);
std::map<std::int64_t, DeviceRow> unpackDevicePartitions(const DeviceRow& every, std::string_view packed);

// The values of a body as they stand in it, in body order; nothing when the body is not one of
// the templates rebuilt byte for byte.
struct BodyValues {
    ReportKind kind = ReportKind::AppEvent;
    std::vector<std::string_view> values;
};
std::optional<BodyValues> splitBody(std::string_view body);
std::string buildBody(ReportKind kind, const std::vector<std::string>& values);

// Texts a packed report refers to instead of holding them.
struct PackedTexts {
    std::function<std::optional<std::int64_t>(const std::string&)> intern;  // text -> id, nothing: keep it inline
    std::function<std::string(std::int64_t)> text;                          // id -> text
};

// The packed values of `r`, or nothing when it must be kept as it came. Only the texts the
// rollups intern anyway are offered to `intern` (channel, names, action content, OS name and
// version).
std::optional<std::string> packReport(const Report& r, const PackedTexts& texts);  // r stamped
// Fills body, channel, name, content and inventory of `r` (kind, arrival, device id and app key set).
void unpackReport(std::string_view packed, Report& r, const PackedTexts& texts);

// A report kept as it came: its decoded texts (channel, name, content, inventory) in one value.
std::string packDecodedTexts(const Report& r);
void unpackDecodedTexts(std::string_view packed, Report& r);

}  // namespace tallyscope::server::store
