#include "spool/spool_store.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <new>

#include "spool/spool_format.h"
#include "win_handles.h"

namespace {

constexpr wchar_t kLockName[] = L"spool.lock";
// A segment is never larger than the bounds allow; anything far beyond them is not a segment this
// library wrote and is read no further than this.
constexpr DWORD kMaxSegmentRead = 2 * spool::kMaxSpooledBytes;

std::wstring widenAscii(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring spoolFolder(const char* appKey)
{
    wchar_t base[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(base) + L"\\TallyScope\\spool\\" + widenAscii(spool::folderNameForKey(appKey));
}

bool makeFolders(const std::wstring& path)
{
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    for (std::size_t at = path.find(L'\\', 3); ; at = path.find(L'\\', at + 1)) {
        const std::wstring part = at == std::wstring::npos ? path : path.substr(0, at);
        if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        if (at == std::wstring::npos) break;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Names of the segments in folder, oldest first.
std::vector<std::wstring> listSegments(const std::wstring& folder)
{
    std::vector<std::string> listed;
    WIN32_FIND_DATAW found;
    win::UniqueFind find(FindFirstFileW((folder + L"\\*.tsq").c_str(), &found));
    if (!find) return {};
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        // A segment's name is ASCII, so '?' for anything else only keeps other names out.
        std::string narrow;
        for (const wchar_t* c = found.cFileName; *c != 0; ++c) narrow.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
        listed.push_back(std::move(narrow));
    } while (FindNextFileW(find.get(), &found));
    std::vector<std::wstring> names;
    for (const std::string& name : spool::segmentsOldestFirst(std::move(listed))) names.push_back(widenAscii(name));
    return names;
}

bool readWhole(HANDLE file, std::string& bytes)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 0) return false;
    const DWORD wanted = size.QuadPart > kMaxSegmentRead ? kMaxSegmentRead : static_cast<DWORD>(size.QuadPart);
    try {
        bytes.assign(wanted, '\0');
    } catch (const std::bad_alloc&) {
        return false;
    }
    DWORD done = 0;
    while (done < wanted) {
        DWORD read = 0;
        if (!ReadFile(file, &bytes[done], wanted - done, &read, nullptr) || read == 0) break;
        done += read;
    }
    bytes.resize(done);
    return true;
}

// One byte rewritten in place and flushed: a done mark that is only in the cache could come back
// as "waiting" after a power cut.
bool writeByteAt(HANDLE file, std::size_t offset, char value, bool flush = true)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD written = 0;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && WriteFile(file, &value, 1, &written, nullptr) &&
           written == 1 && (!flush || FlushFileBuffers(file));
}

// bytes under finalPath, whole or not at all: written under a name no reader takes for a segment,
// flushed, then renamed with write-through. Until this returns true the caller must not forget
// anything it wrote.
bool writeDurably(const std::wstring& tempPath, const std::wstring& finalPath, const std::string& bytes)
{
    bool written = false;
    {
        win::UniqueHandle file(
            CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        DWORD done = 0;
        written = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) &&
                  done == bytes.size() && FlushFileBuffers(file.get());
    }
    if (written && MoveFileExW(tempPath.c_str(), finalPath.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    DeleteFileW(tempPath.c_str());
    return false;
}

// Names in folder matching pattern, sorted.
std::vector<std::wstring> listNames(const std::wstring& folder, const wchar_t* pattern)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    win::UniqueFind find(FindFirstFileW((folder + L"\\" + pattern).c_str(), &found));
    if (!find) return names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(found.cFileName);
    } while (FindNextFileW(find.get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

constexpr wchar_t kTempSuffix[] = L".tmp";
constexpr wchar_t kSetAsideSuffix[] = L".bad";
// Segments set aside are kept for inspection, the newest this many.
constexpr std::size_t kMaxSetAside = 16;
// A temporary file of a writer that still runs is left alone unless it is older than this (the
// writer's process id may have been reused).
constexpr uint64_t kLiveWriterGrace100ns = 10ull * 60 * 10000000;

// Whether the process that wrote a segment or temporary file of this name (its process id is
// part of the name) is still running.
bool writerRuns(const std::wstring& name)
{
    if (name.size() < 32) return false;
    const DWORD process = static_cast<DWORD>(std::wcstoul(name.substr(16, 8).c_str(), nullptr, 16));
    if (process == GetCurrentProcessId()) return false;  // this process writes nothing before its open
    win::UniqueHandle handle(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process));
    if (!handle) return false;
    DWORD code = 0;
    return GetExitCodeProcess(handle.get(), &code) && code == STILL_ACTIVE;
}

uint64_t ageOf(const WIN32_FILE_ATTRIBUTE_DATA& data)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t at = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    const uint64_t current = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return current > at ? current - at : 0;
}

class FileSpool : public Spool {
public:
    explicit FileSpool(const char* appKey) : folder_(spoolFolder(appKey)) {}
    ~FileSpool() override { release(); }

    bool append(const std::vector<Report>& reports) override;
    bool claim() override;
    bool peek(Report& report) override;
    void markDone() override;
    void release() override;

private:
    struct Waiting {
        std::wstring path;
        std::vector<spool::Entry> entries;
    };

    bool lock();
    void recoverOnce();
    std::size_t planTrim(std::vector<Report>& incoming, std::vector<Waiting>& segments);
    void applyTrim(std::vector<Waiting>& segments, std::size_t drop);
    void setAside(const std::wstring& name);
    bool openOldestSegment();
    void closeSegment(bool finished);

    std::wstring folder_;
    uint32_t counter_ = 0;
    win::UniqueHandle lock_;
    bool claimed_ = false;
    bool recovered_ = false;
    std::wstring segmentName_;
    win::UniqueHandle segment_;
    std::vector<spool::Entry> entries_;
    bool segmentDamaged_ = false;
    std::size_t next_ = 0;
    std::vector<std::wstring> skipped_;  // segments this claim could neither open nor set aside
    bool markingFailed_ = false;         // the spool is not sent from again by this store
};

bool FileSpool::lock()
{
    if (lock_) return true;
    // Opened without sharing: while one worker holds it, no other process's worker can, and the
    // system lets go of it when the process ends, however it ends.
    lock_.reset(CreateFileW((folder_ + L"\\" + kLockName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(lock_);
}

// Once per store, under the lock: what a crash left behind. A temporary file holds a segment that
// was written but not renamed; whole, it becomes the segment it was meant to be (its reports were
// never sent: they are journaled before they are posted), cut short it is removed. Set-aside
// segments beyond the newest kMaxSetAside go.
void FileSpool::recoverOnce()
{
    if (recovered_) return;
    if (GetFileAttributesW(folder_.c_str()) == INVALID_FILE_ATTRIBUTES) {
        recovered_ = true;
        return;
    }
    if (!lock()) return;  // another process holds the spool: it recovers, or this store does later
    recovered_ = true;
    for (const std::wstring& name : listNames(folder_, L"*.tsq.tmp")) {
        const std::wstring path = folder_ + L"\\" + name;
        const std::wstring finalName = name.substr(0, name.size() - (sizeof kTempSuffix / sizeof(wchar_t) - 1));
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) continue;
        if (writerRuns(name) && ageOf(data) < kLiveWriterGrace100ns) continue;
        std::string bytes;
        bool whole = false;
        {
            win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file && readWhole(file.get(), bytes)) {
                bool intact = false;
                whole = !spool::parseSegment(bytes.data(), bytes.size(), &intact).empty() && intact;
            }
        }
        const std::string narrow(finalName.begin(), finalName.end());
        if (whole && spool::isSegmentName(narrow) &&
            MoveFileExW(path.c_str(), (folder_ + L"\\" + finalName).c_str(), MOVEFILE_WRITE_THROUGH))
            continue;
        DeleteFileW(path.c_str());
    }
    std::vector<std::wstring> setAside = listNames(folder_, L"*.tsq.bad");
    for (std::size_t i = 0; i + kMaxSetAside < setAside.size(); ++i) DeleteFileW((folder_ + L"\\" + setAside[i]).c_str());
    if (!claimed_) lock_.reset();
}

// Under the lock (when another process holds it, the bounds wait for the next append): which of
// the oldest waiting reports the incoming ones push out. Incoming reports beyond the bounds on
// their own are taken out of incoming at once.
std::size_t FileSpool::planTrim(std::vector<Report>& incoming, std::vector<Waiting>& segments)
{
    std::vector<std::size_t> waitingLengths;
    for (const std::wstring& name : listSegments(folder_)) {
        Waiting s{folder_ + L"\\" + name, {}};
        win::UniqueHandle file(CreateFileW(s.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        std::string bytes;
        if (!file || !readWhole(file.get(), bytes)) continue;
        for (spool::Entry& e : spool::parseSegment(bytes.data(), bytes.size())) {
            if (!e.waiting) continue;
            waitingLengths.push_back(e.body.size());
            s.entries.push_back(std::move(e));
        }
        segments.push_back(std::move(s));
    }
    std::vector<std::size_t> incomingLengths;
    for (const Report& report : incoming) incomingLengths.push_back(report.body.size());
    std::size_t dropIncoming = 0;
    const std::size_t drop = spool::oldestToDrop(waitingLengths, incomingLengths, &dropIncoming);
    incoming.erase(incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(dropIncoming));
    return drop;
}

void FileSpool::applyTrim(std::vector<Waiting>& segments, std::size_t drop)
{
    for (Waiting& s : segments) {
        if (drop == 0) break;
        if (drop >= s.entries.size()) {
            drop -= s.entries.size();
            DeleteFileW(s.path.c_str());
            continue;
        }
        win::UniqueHandle file(CreateFileW(s.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        for (std::size_t i = 0; i < drop && file; ++i)
            writeByteAt(file.get(), s.entries[i].stateOffset, spool::kDone, false);
        if (file) FlushFileBuffers(file.get());
        drop = 0;
    }
}

bool FileSpool::append(const std::vector<Report>& reports)
{
    if (reports.empty()) return true;
    if (folder_.empty() || !makeFolders(folder_)) return false;
    try {
        recoverOnce();
        const bool hadLock = static_cast<bool>(lock_);
        const bool locked = lock();
        std::vector<Report> incoming = reports;
        std::vector<Waiting> segments;
        const std::size_t drop = locked ? planTrim(incoming, segments) : 0;
        std::size_t stored = 0;
        const std::string bytes = spool::encodeSegment(incoming, &stored);
        bool ok = stored == 0;
        if (!ok) {
            FILETIME now;
            GetSystemTimeAsFileTime(&now);
            const uint64_t time = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
            const std::wstring name = widenAscii(spool::segmentName(time, GetCurrentProcessId(), ++counter_));
            const std::wstring finalPath = folder_ + L"\\" + name;
            ok = writeDurably(finalPath + kTempSuffix, finalPath, bytes);
        }
        // Only what is now on the disk may push older reports out: a failed write drops nothing.
        if (ok && drop != 0) applyTrim(segments, drop);
        if (!hadLock) lock_.reset();
        return ok;
    } catch (const std::bad_alloc&) {
        if (!claimed_) lock_.reset();
        return false;
    }
}

bool FileSpool::claim()
{
    if (claimed_) return true;
    if (markingFailed_ || folder_.empty() || GetFileAttributesW(folder_.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    recoverOnce();
    if (listSegments(folder_).empty()) return false;
    if (!lock()) return false;
    claimed_ = true;
    return true;
}

// A segment that cannot be opened or read whole is renamed out of the way (kept for a look) so
// that the rest of the spool goes on; one that cannot even be renamed is passed over for the rest
// of this claim and tried again at the next.
void FileSpool::setAside(const std::wstring& name)
{
    const std::wstring path = folder_ + L"\\" + name;
    if (MoveFileExW(path.c_str(), (path + kSetAsideSuffix).c_str(), MOVEFILE_WRITE_THROUGH)) return;
    try {
        skipped_.push_back(name);
    } catch (const std::bad_alloc&) {
    }
}

bool FileSpool::openOldestSegment()
{
    for (;;) {
        const std::vector<std::wstring> names = listSegments(folder_);
        auto oldest = std::find_if(names.begin(), names.end(), [this](const std::wstring& name) {
            return std::find(skipped_.begin(), skipped_.end(), name) == skipped_.end();
        });
        if (oldest == names.end()) return false;
        segmentName_ = *oldest;
        segment_.reset(CreateFileW((folder_ + L"\\" + segmentName_).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        std::string bytes;
        if (!segment_ || !readWhole(segment_.get(), bytes)) {
            segment_.reset();
            setAside(segmentName_);
            segmentName_.clear();
            continue;
        }
        bool intact = false;
        entries_ = spool::parseSegment(bytes.data(), bytes.size(), &intact);
        segmentDamaged_ = !intact;
        next_ = 0;
        while (next_ < entries_.size() && !entries_[next_].waiting) ++next_;
        if (next_ < entries_.size()) return true;
        closeSegment(true);
    }
}

// A finished segment goes; a damaged one is set aside once its intact entries are sent.
void FileSpool::closeSegment(bool finished)
{
    segment_.reset();
    if (finished && !segmentName_.empty()) {
        if (segmentDamaged_) {
            setAside(segmentName_);
        } else {
            DeleteFileW((folder_ + L"\\" + segmentName_).c_str());
        }
    }
    segmentName_.clear();
    entries_.clear();
    segmentDamaged_ = false;
    next_ = 0;
}

bool FileSpool::peek(Report& report)
{
    if (!claimed_) return false;
    try {
        if (!segment_ && !openOldestSegment()) return false;
        report.body = entries_[next_].body;
        report.id = entries_[next_].id;
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void FileSpool::markDone()
{
    if (!claimed_ || !segment_ || next_ >= entries_.size()) return;
    if (!writeByteAt(segment_.get(), entries_[next_].stateOffset, spool::kDone)) {
        // Without its mark the report would be sent again at every pass: stop sending from here.
        markingFailed_ = true;
        release();
        return;
    }
    ++next_;
    while (next_ < entries_.size() && !entries_[next_].waiting) ++next_;
    if (next_ >= entries_.size()) closeSegment(true);
}

void FileSpool::release()
{
    closeSegment(false);
    skipped_.clear();
    claimed_ = false;
    lock_.reset();
}

}  // namespace

std::unique_ptr<Spool> openSpool(const char* appKey)
{
    return std::unique_ptr<Spool>(new FileSpool(appKey));
}
