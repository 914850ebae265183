#include "common/line_writer.h"

#include <windows.h>

#include <deque>
#include <memory>
#include <new>

#include "win_handles.h"

namespace lines {

namespace {

// Shared by the service side and one writer thread; the thread holds its own reference, so a
// writer left blocked on a pipe after the stop never touches freed memory. A slim lock and a
// condition variable (see win::ExclusiveLock): every post hands over two lines.
struct Writer {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
    std::deque<std::string> pending;
    std::size_t pendingBytes = 0;
    uint64_t handed = 0;
    uint64_t written = 0;
    bool idle = false;     // the writer waits for a first line: only that line wakes it
    bool hurried = false;  // finish waits: the writer gathers no more
    bool ending = false;
};

// Lines that follow the first within this long go out in the same write. A drain hands over two
// lines a report; waking the writer for each cost an idle machine about as much as the report's
// own wake-ups.
constexpr DWORD kGatherMs = 20;

SRWLOCK g_lock = SRWLOCK_INIT;
std::shared_ptr<Writer> g_writer;

// Straight to the standard-output handle, as the run-time library's text mode would write it
// (each LF as CR LF), never through the library's stream: a write that blocks on a full pipe would
// hold that stream's lock, and the host's own output, and the run-time library's flush at exit,
// would then wait on it for ever.
void writeOut(const std::deque<std::string>& lines)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    std::string bytes;
    for (const std::string& line : lines) {
        for (char c : line) {
            if (c == '\n') bytes.push_back('\r');
            bytes.push_back(c);
        }
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
        AcquireSRWLockExclusive(&w.lock);
        for (;;) {
            while (w.pending.empty() && !w.ending) {
                w.idle = true;
                SleepConditionVariableSRW(&w.changed, &w.lock, INFINITE, 0);
            }
            w.idle = false;
            if (w.pending.empty()) break;
            // Only finish cuts the gathering short (a line that comes meanwhile does not wake it).
            if (!w.hurried && !w.ending) SleepConditionVariableSRW(&w.changed, &w.lock, kGatherMs, 0);
            // Everything handed so far, in one write: lines that came while the last write ran wait
            // for no wake-up of their own.
            std::deque<std::string> lines;
            lines.swap(w.pending);
            w.pendingBytes = 0;
            ReleaseSRWLockExclusive(&w.lock);
            try {
                writeOut(lines);
            } catch (...) {
                // No memory for the lines' bytes: they are dropped.
            }
            AcquireSRWLockExclusive(&w.lock);
            w.written += lines.size();
            WakeAllConditionVariable(&w.changed);
        }
        ReleaseSRWLockExclusive(&w.lock);
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
        win::ExclusiveLock guard(g_lock);
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
        win::ExclusiveLock guard(g_lock);
        writer = g_writer;
    }
    if (!writer) return false;
    AcquireSRWLockExclusive(&writer->lock);
    // A line that does not fit is dropped: the writer is behind, most likely on a pipe nobody reads.
    if (writer->pendingBytes + text.size() <= kMaxPendingBytes) {
        try {
            writer->pending.push_back(std::move(text));
            writer->pendingBytes += writer->pending.back().size();
            ++writer->handed;
            if (writer->idle) {
                writer->idle = false;
                WakeAllConditionVariable(&writer->changed);
            }
        } catch (...) {
        }
    }
    ReleaseSRWLockExclusive(&writer->lock);
    return true;
}

void finish(uint32_t waitMs)
{
    std::shared_ptr<Writer> writer;
    {
        win::ExclusiveLock guard(g_lock);
        writer.swap(g_writer);
    }
    if (!writer) return;
    AcquireSRWLockExclusive(&writer->lock);
    writer->hurried = true;
    WakeAllConditionVariable(&writer->changed);
    const uint64_t target = writer->handed;
    const ULONGLONG until = GetTickCount64() + waitMs;
    for (ULONGLONG now = GetTickCount64(); writer->written < target && now < until; now = GetTickCount64()) {
        SleepConditionVariableSRW(&writer->changed, &writer->lock, static_cast<DWORD>(until - now), 0);
    }
    writer->ending = true;
    WakeAllConditionVariable(&writer->changed);
    ReleaseSRWLockExclusive(&writer->lock);
}

}  // namespace lines
