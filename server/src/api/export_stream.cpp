#include "api/export_stream.h"

#include "api/csv_export.h"
#include "store/import.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace tallyscope::server::api {
namespace {

struct Handoff {
    std::mutex mutex;
    std::condition_variable changed;
    std::string ready;
    bool hasReady = false;
    bool done = false;
    bool cancelled = false;
    std::exception_ptr error;

    // Producer side: waits until the previous piece was taken. False when the reader is gone.
    bool give(std::string& piece) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return !hasReady || cancelled; });
        if (cancelled) return false;
        ready.swap(piece);
        piece.clear();
        hasReady = true;
        changed.notify_all();
        return true;
    }

    void finish(std::exception_ptr failure) {
        std::lock_guard lock(mutex);
        done = true;
        error = std::move(failure);
        changed.notify_all();
    }

    // Reader side.
    bool take(std::string& out) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return hasReady || done; });
        if (hasReady) {
            out.append(ready);
            ready.clear();
            hasReady = false;
            changed.notify_all();
            return true;
        }
        if (error) std::rethrow_exception(error);
        return false;
    }
};

// Owns the walking thread: when the last copy of the body source goes (the response was sent, or
// the connection dropped), the walk is told to stop and the thread is joined.
struct Walker {
    std::shared_ptr<Handoff> handoff = std::make_shared<Handoff>();
    std::thread thread;

    ~Walker() {
        {
            std::lock_guard lock(handoff->mutex);
            handoff->cancelled = true;
            handoff->changed.notify_all();
        }
        if (thread.joinable()) thread.join();
    }
};

}  // namespace

http::BodySource csvExportStream(std::function<void(const ReportSink&)> walk, std::size_t pieceBytes) {
    auto walker = std::make_shared<Walker>();
    walker->thread = std::thread([handoff = walker->handoff, walk = std::move(walk), pieceBytes] {
        std::exception_ptr failure;
        try {
            std::string piece;
            piece.reserve(pieceBytes + 4096);
            appendCsvHeader(piece);
            bool reading = true;
            DerivedIdRecognizer imported;
            walk([&](const Report& report) {
                if (imported.derived(report)) {
                    Report asRead = report;
                    asRead.reportId.clear();
                    appendCsvRow(piece, asRead);
                } else {
                    appendCsvRow(piece, report);
                }
                if (piece.size() >= pieceBytes) reading = handoff->give(piece);
                return reading;
            });
            if (reading && !piece.empty()) handoff->give(piece);
        } catch (...) {
            failure = std::current_exception();
        }
        handoff->finish(failure);
    });
    return [walker](std::string& out) { return walker->handoff->take(out); };
}

}  // namespace tallyscope::server::api
