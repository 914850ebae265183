#include "common/line_writer.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>

namespace lines {

namespace {

// Shared by the service side and one writer thread; the thread holds its own reference, so a
// writer left blocked on a pipe after the stop never touches freed memory.
struct Writer {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::string> pending;
    std::size_t pendingBytes = 0;
    uint64_t handed = 0;
    uint64_t written = 0;
    bool ending = false;
};

std::mutex g_lock;
std::shared_ptr<Writer> g_writer;

// Straight to the standard-output handle, as the run-time library's text mode would write it
// (each LF as CR LF), never through the library's stream: a write that blocks on a full pipe would
// hold that stream's lock, and the host's own output, and the run-time library's flush at exit,
// would then wait on it for ever.
void writeOut(const std::string& line)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    std::string bytes;
    bytes.reserve(line.size() + 4);
    for (char c : line) {
        if (c == '\n') bytes.push_back('\r');
        bytes.push_back(c);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(out, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
            written == 0) {
            return;
        }
        done += written;
    }
}

// What the starting thread hands the writer: the writer, and the module reference it took for it.
struct WriterStart {
    std::shared_ptr<Writer> writer;
    HMODULE self = nullptr;
};

DWORD WINAPI writerMain(LPVOID parameter)
{
    // The reference was taken by the starting thread, before this one existed: taken here, it
    // would come too late for a host that frees the library right after a stop.
    HMODULE self = static_cast<WriterStart*>(parameter)->self;
    {
        std::unique_ptr<WriterStart> owned(static_cast<WriterStart*>(parameter));
        Writer& w = *owned->writer;
        std::unique_lock<std::mutex> guard(w.lock);
        for (;;) {
            w.changed.wait(guard, [&] { return !w.pending.empty() || w.ending; });
            if (w.pending.empty()) break;
            std::string line = std::move(w.pending.front());
            w.pending.pop_front();
            w.pendingBytes -= line.size();
            guard.unlock();
            try {
                writeOut(line);
            } catch (...) {
                // No memory for the line's bytes: it is dropped.
            }
            guard.lock();
            ++w.written;
            w.changed.notify_all();
        }
    }
    if (self != nullptr) FreeLibraryAndExitThread(self, 0);
    return 0;
}

}  // namespace

bool start()
{
    try {
        auto writer = std::make_shared<Writer>();
        std::unique_ptr<WriterStart> reference(new WriterStart{writer, nullptr});
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&writerMain),
                                &reference->self))
            return false;
        HANDLE thread = CreateThread(nullptr, 0, writerMain, reference.get(), 0, nullptr);
        if (thread == nullptr) {
            FreeLibrary(reference->self);
            return false;
        }
        reference.release();
        CloseHandle(thread);
        std::lock_guard<std::mutex> guard(g_lock);
        g_writer = std::move(writer);
        return true;
    } catch (...) {
        return false;
    }
}

bool hand(std::string text)
{
    std::shared_ptr<Writer> writer;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        writer = g_writer;
    }
    if (!writer) return false;
    std::lock_guard<std::mutex> guard(writer->lock);
    // A line that does not fit is dropped: the writer is behind, most likely on a pipe nobody reads.
    if (writer->pendingBytes + text.size() > kMaxPendingBytes) return true;
    try {
        writer->pending.push_back(std::move(text));
    } catch (...) {
        return true;
    }
    writer->pendingBytes += writer->pending.back().size();
    ++writer->handed;
    writer->changed.notify_all();
    return true;
}

void finish(uint32_t waitMs)
{
    std::shared_ptr<Writer> writer;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        writer.swap(g_writer);
    }
    if (!writer) return;
    std::unique_lock<std::mutex> guard(writer->lock);
    const uint64_t target = writer->handed;
    writer->changed.wait_for(guard, std::chrono::milliseconds(waitMs), [&] { return writer->written >= target; });
    writer->ending = true;
    writer->changed.notify_all();
}

}  // namespace lines
