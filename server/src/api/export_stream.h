// The CSV export as a streamed body. The store walks reports by pushing them to a sink; the
// network layer pulls the body piece by piece. A thread of the export's own runs the walk and
// hands over one piece at a time, so however many reports the range holds, the export holds at
// most two pieces in memory, and a client that goes away stops the walk at its next report.
#pragma once

#include "http/routes.h"
#include "store/store.h"

#include <cstddef>
#include <functional>

namespace tallyscope::server::api {

inline constexpr std::size_t kExportPieceBytes = 64 * 1024;

// `walk` calls its sink once per report, oldest first, and stops when the sink returns false.
// The body is the header row followed by one row per report. If the walk throws, the body
// source throws too, which ends the response without its last chunk: the client sees a broken
// download, never a short file that looks whole.
http::BodySource csvExportStream(std::function<void(const ReportSink&)> walk,
                                 std::size_t pieceBytes = kExportPieceBytes);

}  // namespace tallyscope::server::api
