// Turning a request's query string and path into checked query arguments. Every refusal carries
// a one-line reason that the API sends back with its 400.
#pragma once

#include "store/store.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tallyscope::server::api {

// A refused parameter: the reason a 400 answer gives.
struct BadRequest {
    std::string reason;
};

// Percent-decodes a path segment ('+' stays '+'); nullopt for a broken escape.
std::optional<std::string> decodePathSegment(std::string_view segment);

// Parses "a=1&b=x%20y" as a form: '+' is a space, %XX an escape, names must be unique and every
// name and value must be valid UTF-8.
std::variant<std::vector<std::pair<std::string, std::string>>, BadRequest>
parseForm(std::string_view query);

bool validUtf8(std::string_view text);

// The longest range a daily, top or retention query may ask for, in days: ten years. Longer ones
// are refused rather than answered with a million zero rows.
inline constexpr int kMaxRangeDays = 3660;
// The default range: the 30 days ending today.
inline constexpr int kDefaultRangeDays = 30;
inline constexpr int kMaxTopLimit = 1000;

struct DayRange {
    int from = 0;
    int to = 0;
};

// The parameters of one API call, checked against what the route accepts.
struct QueryArgs {
    DayRange range;
    std::optional<std::string> channel;
    std::optional<Dimension> dimension;
    std::optional<std::string> action;
    int limit = 10;
    std::optional<std::string> os;         // with channel: the filters (see Filters)
    std::optional<std::string> osversion;
    std::string text;                      // a device search's q
    bool firstContents = false;            // top of actions: contents=first
    Filters filters() const { return Filters{channel, os, osversion}; }
};

// What a route accepts besides from and to.
struct Accepts {
    bool channel = false;
    bool top = false;   // dimension, action and limit
    bool longRange = false;  // no kMaxRangeDays cap (the export streams)
    bool breakdown = false;  // dimension (channel, os, osversion, event, action) and limit, default 5
    bool search = false;     // q and limit only, no range
};

inline constexpr int kDefaultBreakdownLimit = 5;
inline constexpr int kDefaultSearchLimit = 20;

// Checks a query string for a route. `today` is the current day in the reporting time zone.
std::variant<QueryArgs, BadRequest> parseQueryArgs(std::string_view query, Accepts accepts, int today);

}  // namespace tallyscope::server::api
