// The dashboard's files, built into the binary from server/web so the server needs no files
// beside it and works offline.
#pragma once

#include <string_view>

namespace tallyscope::server::api {

struct WebAsset {
    std::string_view name;  // path under server/web, e.g. "vendor/uPlot.min.css"
    std::string_view contentType;
    std::string_view body;
};

// The asset of that name, or nullptr.
const WebAsset* findWebAsset(std::string_view name);

}  // namespace tallyscope::server::api
