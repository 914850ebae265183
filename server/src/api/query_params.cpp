#include "api/query_params.h"

#include "core/days.h"

#include <charconv>

namespace tallyscope::server::api {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(plusIsSpace && c == '+' ? ' ' : c);
        }
    }
    return out;
}

std::optional<Dimension> dimensionNamed(std::string_view name) {
    static constexpr std::pair<std::string_view, Dimension> names[] = {
        {"event", Dimension::Event}, {"action", Dimension::Action}, {"content", Dimension::Content},
        {"channel", Dimension::Channel}, {"os", Dimension::Os}, {"osversion", Dimension::OsVersion}};
    for (const auto& [text, dimension] : names)
        if (text == name) return dimension;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> decodePathSegment(std::string_view segment) {
    return percentDecode(segment, false);
}

bool validUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        unsigned char lead = byte(i);
        std::size_t length = lead < 0x80 ? 1 : lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
        if (length == 0 || lead > 0xf4 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k)
            if ((byte(i + k) & 0xc0) != 0x80) return false;
        if (length > 1) {
            unsigned char second = byte(i + 1);
            if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second >= 0xa0) ||
                (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second >= 0x90))
                return false;
        }
        i += length;
    }
    return true;
}

std::variant<std::vector<std::pair<std::string, std::string>>, BadRequest>
parseForm(std::string_view query) {
    std::vector<std::pair<std::string, std::string>> pairs;
    while (!query.empty()) {
        auto end = query.find('&');
        std::string_view pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view{} : query.substr(end + 1);
        if (pair.empty()) continue;
        auto eq = pair.find('=');
        auto name = percentDecode(pair.substr(0, eq), true);
        auto value = percentDecode(eq == std::string_view::npos ? std::string_view{} : pair.substr(eq + 1), true);
        if (!name || !value) return BadRequest{"broken %-escape in the query"};
        if (!validUtf8(*name) || !validUtf8(*value))
            return BadRequest{"query parameters must be UTF-8"};
        for (const auto& seen : pairs)
            if (seen.first == *name) return BadRequest{"parameter \"" + *name + "\" given twice"};
        pairs.emplace_back(std::move(*name), std::move(*value));
    }
    return pairs;
}

std::variant<QueryArgs, BadRequest> parseQueryArgs(std::string_view query, Accepts accepts, int today) {
    auto form = parseForm(query);
    if (auto* bad = std::get_if<BadRequest>(&form)) return *bad;
    QueryArgs args;
    std::optional<int> from, to;
    std::optional<std::string> limit;
    for (auto& [name, value] : std::get<0>(form)) {
        if ((name == "from" || name == "to") && !accepts.search) {
            auto day = ReportingDays::parse(value);
            if (!day) return BadRequest{name + ": \"" + value + "\" is not a date as YYYY-MM-DD"};
            (name == "from" ? from : to) = *day;
        } else if ((name == "from" || name == "to") && accepts.search) {
            return BadRequest{"unknown parameter \"" + name + "\""};
        } else if (name == "channel" && accepts.channel) {
            args.channel = std::move(value);
        } else if (name == "os" && accepts.channel) {
            args.os = std::move(value);
        } else if (name == "osversion" && accepts.channel) {
            args.osversion = std::move(value);
        } else if (name == "q" && accepts.search) {
            args.text = std::move(value);
        } else if (name == "dimension" && accepts.breakdown) {
            args.dimension = dimensionNamed(value);
            if (!args.dimension || *args.dimension == Dimension::Content)
                return BadRequest{"dimension: \"" + value + "\" is none of channel, os, osversion, event, action"};
        } else if (name == "limit" && (accepts.breakdown || accepts.search)) {
            limit = std::move(value);
        } else if (name == "dimension" && accepts.top) {
            args.dimension = dimensionNamed(value);
            if (!args.dimension)
                return BadRequest{"dimension: \"" + value +
                                  "\" is none of event, action, content, channel, os, osversion"};
        } else if (name == "action" && accepts.top) {
            args.action = std::move(value);
        } else if (name == "limit" && accepts.top) {
            limit = std::move(value);
        } else if (name == "contents" && accepts.top) {
            if (value != "first") return BadRequest{"contents: \"" + value + "\" is not first"};
            args.firstContents = true;
        } else {
            return BadRequest{"unknown parameter \"" + name + "\""};
        }
    }
    if (accepts.breakdown) {
        if (!args.dimension) return BadRequest{"dimension is missing (channel, os, osversion, event or action)"};
        args.limit = kDefaultBreakdownLimit;
    }
    if (accepts.search) {
        if (args.text.empty()) return BadRequest{"q is missing: part of a device identifier, computer or user name"};
        args.limit = kDefaultSearchLimit;
    }
    if (accepts.top && !args.dimension)
        return BadRequest{"dimension is missing (event, action, content, channel, os or osversion)"};
    if (accepts.top && args.action && *args.dimension != Dimension::Content)
        return BadRequest{"action only goes with dimension=content"};
    if (accepts.top && args.firstContents && *args.dimension != Dimension::Action)
        return BadRequest{"contents=first only goes with dimension=action"};
    if (accepts.top || accepts.breakdown || accepts.search) {
        if (limit) {
            int n = 0;
            auto [end, error] = std::from_chars(limit->data(), limit->data() + limit->size(), n);
            if (error != std::errc() || end != limit->data() + limit->size() || n < 1 || n > kMaxTopLimit)
                return BadRequest{"limit: \"" + *limit + "\" is not a whole number from 1 to " +
                                  std::to_string(kMaxTopLimit)};
            args.limit = n;
        }
    }
    // Only dates the caller gave are named as theirs: a missing `to` is today.
    const bool toGiven = to.has_value();
    if (!to) to = today;
    if (!from) from = *to - (kDefaultRangeDays - 1);
    if (*from > *to)
        return BadRequest{"from (" + ReportingDays::format(*from) + ") is after " +
                          (toGiven ? "to (" : "today, the default to (") + ReportingDays::format(*to) + ")"};
    if (!accepts.longRange && *to - *from + 1 > kMaxRangeDays)
        return BadRequest{"the range is longer than " + std::to_string(kMaxRangeDays) + " days"};
    args.range = {*from, *to};
    return args;
}

}  // namespace tallyscope::server::api
