#include "spool/spool_store.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
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
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    win::UniqueFind find(FindFirstFileW((folder + L"\\*.tsq").c_str(), &found));
    if (!find) return names;
    do {
        std::string narrow;
        for (const wchar_t* c = found.cFileName; *c != 0; ++c) narrow.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && spool::isSegmentName(narrow)) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileW(find.get(), &found));
    std::sort(names.begin(), names.end());
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

bool writeByteAt(HANDLE file, std::size_t offset, char value)
{
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD written = 0;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && WriteFile(file, &value, 1, &written, nullptr) &&
           written == 1;
}

class FileSpool : public Spool {
public:
    explicit FileSpool(const char* appKey) : folder_(spoolFolder(appKey)) {}
    ~FileSpool() override { release(); }

    bool append(const std::vector<std::string>& bodies) override;
    bool claim() override;
    bool peek(std::string& body) override;
    void markDone() override;
    void release() override;

private:
    bool lock();
    void trimFor(std::vector<std::string>& incoming);
    bool openOldestSegment();
    void closeSegment(bool finished);

    std::wstring folder_;
    uint32_t counter_ = 0;
    win::UniqueHandle lock_;
    bool claimed_ = false;
    std::wstring segmentPath_;
    win::UniqueHandle segment_;
    std::vector<spool::Entry> entries_;
    std::size_t next_ = 0;
    bool markingFailed_ = false;  // the spool is not sent from again by this store
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

// Under the lock (when another process holds it, the bounds wait for the next append): the oldest
// waiting reports that the incoming ones push out are marked done, or their segment removed.
void FileSpool::trimFor(std::vector<std::string>& incoming)
{
    const bool hadLock = static_cast<bool>(lock_);
    if (!lock()) return;
    struct Segment {
        std::wstring path;
        std::vector<spool::Entry> waiting;
    };
    std::vector<Segment> segments;
    std::vector<std::size_t> waitingLengths;
    for (const std::wstring& name : listSegments(folder_)) {
        Segment s{folder_ + L"\\" + name, {}};
        win::UniqueHandle file(CreateFileW(s.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        std::string bytes;
        if (!file || !readWhole(file.get(), bytes)) continue;
        for (spool::Entry& e : spool::parseSegment(bytes.data(), bytes.size())) {
            if (!e.waiting) continue;
            waitingLengths.push_back(e.body.size());
            s.waiting.push_back(std::move(e));
        }
        segments.push_back(std::move(s));
    }
    std::vector<std::size_t> incomingLengths;
    for (const std::string& body : incoming) incomingLengths.push_back(body.size());
    std::size_t dropIncoming = 0;
    std::size_t drop = spool::oldestToDrop(waitingLengths, incomingLengths, &dropIncoming);
    incoming.erase(incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(dropIncoming));
    for (Segment& s : segments) {
        if (drop == 0) break;
        if (drop >= s.waiting.size()) {
            drop -= s.waiting.size();
            DeleteFileW(s.path.c_str());
            continue;
        }
        win::UniqueHandle file(CreateFileW(s.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        for (std::size_t i = 0; i < drop && file; ++i) writeByteAt(file.get(), s.waiting[i].stateOffset, spool::kDone);
        drop = 0;
    }
    if (!hadLock) lock_.reset();
}

bool FileSpool::append(const std::vector<std::string>& bodies)
{
    if (bodies.empty()) return true;
    if (folder_.empty() || !makeFolders(folder_)) return false;
    try {
        std::vector<std::string> incoming = bodies;
        trimFor(incoming);
        std::size_t stored = 0;
        const std::string bytes = spool::encodeSegment(incoming, &stored);
        if (stored == 0) return true;

        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const uint64_t time = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        const std::wstring name = widenAscii(spool::segmentName(time, GetCurrentProcessId(), ++counter_));
        const std::wstring finalPath = folder_ + L"\\" + name;
        const std::wstring tempPath = finalPath + L".tmp";
        // Written under a name no reader looks at, then renamed: a segment appears whole or not at
        // all, and a crash leaves at most a stray .tmp file.
        bool written = false;
        {
            win::UniqueHandle file(CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file) return false;
            DWORD done = 0;
            written = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) &&
                      done == bytes.size();
        }
        if (written && MoveFileExW(tempPath.c_str(), finalPath.c_str(), 0)) return true;
        DeleteFileW(tempPath.c_str());
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool FileSpool::claim()
{
    if (claimed_) return true;
    if (markingFailed_ || folder_.empty() || GetFileAttributesW(folder_.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    if (listSegments(folder_).empty()) return false;
    if (!lock()) return false;
    claimed_ = true;
    return true;
}

bool FileSpool::openOldestSegment()
{
    for (;;) {
        const std::vector<std::wstring> names = listSegments(folder_);
        if (names.empty()) return false;
        segmentPath_ = folder_ + L"\\" + names.front();
        segment_.reset(CreateFileW(segmentPath_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        std::string bytes;
        if (!segment_ || !readWhole(segment_.get(), bytes)) {
            // A segment that cannot be opened for marking would be sent again and again: the
            // spool is not sent from until it can be.
            segment_.reset();
            return false;
        }
        entries_ = spool::parseSegment(bytes.data(), bytes.size());
        next_ = 0;
        while (next_ < entries_.size() && !entries_[next_].waiting) ++next_;
        if (next_ < entries_.size()) return true;
        closeSegment(true);
    }
}

void FileSpool::closeSegment(bool finished)
{
    segment_.reset();
    if (finished && !segmentPath_.empty()) DeleteFileW(segmentPath_.c_str());
    segmentPath_.clear();
    entries_.clear();
    next_ = 0;
}

bool FileSpool::peek(std::string& body)
{
    if (!claimed_) return false;
    try {
        if (!segment_ && !openOldestSegment()) return false;
        body = entries_[next_].body;
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
    claimed_ = false;
    lock_.reset();
}

}  // namespace

std::unique_ptr<Spool> openSpool(const char* appKey)
{
    return std::unique_ptr<Spool>(new FileSpool(appKey));
}
