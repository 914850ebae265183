// Diagnostic lines written by a thread of their own while the service runs, so that a standard
// output nobody reads (a full pipe) never holds up the upload worker: the worker only hands lines
// over, and a line that finds the writer's buffer full is dropped. The bytes of every line that is
// written stay as the run-time library's standard output writes them in its text mode.
#pragma once

#include <cstdint>
#include <string>

namespace lines {

// Lines handed over from now on are written by the writer thread. False if it could not start
// (lines are then written by their callers, as without a service).
bool start();
// Hands a line (with its line end) to the writer for standard output. False when no writer runs:
// the caller writes it itself.
bool hand(std::string text);
// Waits at most waitMs for the writer to write everything handed so far, then lets it end. A
// writer that is blocked on a full pipe ends on its own once the write returns.
void finish(uint32_t waitMs);

// Most bytes waiting for the writer; a line that would go beyond is dropped.
constexpr std::size_t kMaxPendingBytes = 1u << 20;

}  // namespace lines
