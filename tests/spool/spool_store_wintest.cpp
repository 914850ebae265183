// The file spool on a real Windows file system (Wine): survives its store, keeps order and bounds,
// lets one claimer at a time send, and shrugs off damaged files and folders it cannot write.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "spool/spool_format.h"
#include "spool/spool_store.h"

namespace {

// A private %LOCALAPPDATA% for each test, so no test sees another's spool.
class SpoolStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        root_ = std::wstring(temp) + L"tallyscope-spool-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetTickCount());
        CreateDirectoryW(root_.c_str(), nullptr);
        SetEnvironmentVariableW(L"LOCALAPPDATA", root_.c_str());
    }

    std::wstring folder(const char* key) const
    {
        const std::string name = spool::folderNameForKey(key);
        return root_ + L"\\TallyScope\\spool\\" + std::wstring(name.begin(), name.end());
    }

    std::vector<std::wstring> segmentPaths(const char* key) const
    {
        std::vector<std::wstring> out;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((folder(key) + L"\\*.tsq").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE) return out;
        do out.push_back(folder(key) + L"\\" + found.cFileName);
        while (FindNextFileW(find, &found));
        FindClose(find);
        return out;
    }

    static std::vector<std::string> drain(Spool& spool, std::size_t limit = SIZE_MAX)
    {
        std::vector<std::string> out;
        if (!spool.claim()) return out;
        Report report;
        while (out.size() < limit && spool.peek(report)) {
            EXPECT_EQ(report.id, idOf(report.body)) << "a report comes back with the id it was stored with";
            out.push_back(report.body);
            spool.markDone();
        }
        spool.release();
        return out;
    }

    // Every body is stored under an id of its own, derived from it so that drain can check it.
    static std::string idOf(const std::string& body)
    {
        char id[33];
        std::snprintf(id, sizeof id, "%032lx", static_cast<unsigned long>(spool::crc32(body.data(), body.size())));
        return id;
    }
    static std::vector<Report> withIds(const std::vector<std::string>& bodies)
    {
        std::vector<Report> out;
        for (const std::string& body : bodies) out.push_back(Report{idOf(body), body});
        return out;
    }
    static bool put(Spool& spool, const std::vector<std::string>& bodies) { return spool.append(withIds(bodies)); }

    static std::vector<std::string> numbered(int from, int to)
    {
        std::vector<std::string> out;
        for (int n = from; n < to; ++n) out.push_back("Param={%22n%22:%22" + std::to_string(n) + "%22}");
        return out;
    }

    std::wstring root_;
};

TEST_F(SpoolStore, ReportsComeBackOnceInOrderAcrossStoresAndPartialSends)
{
    {
        auto writer = openSpool("order-key");
        ASSERT_TRUE(put(*writer, numbered(0, 3)));
        ASSERT_TRUE(put(*writer, numbered(3, 7)));
    }
    {
        auto first = openSpool("order-key");
        EXPECT_EQ(drain(*first, 2), numbered(0, 2));  // a sender that stopped after two answers
    }
    auto other = openSpool("other-key");
    EXPECT_TRUE(drain(*other).empty());
    auto second = openSpool("order-key");
    EXPECT_EQ(drain(*second), numbered(2, 7));
    EXPECT_TRUE(drain(*second).empty());
    EXPECT_TRUE(segmentPaths("order-key").empty());  // finished segments are removed
}

TEST_F(SpoolStore, OnlyOneClaimerSendsAndAppendsGoOnMeanwhile)
{
    auto a = openSpool("claim-key");
    auto b = openSpool("claim-key");
    ASSERT_TRUE(put(*a, numbered(0, 2)));
    ASSERT_TRUE(a->claim());
    EXPECT_FALSE(b->claim());
    Report body;
    EXPECT_FALSE(b->peek(body));
    EXPECT_TRUE(put(*b, numbered(2, 4)));  // written beside the claim, sent after it
    ASSERT_TRUE(a->peek(body));
    EXPECT_EQ(body.body, numbered(0, 1)[0]);
    a->markDone();
    a->release();
    EXPECT_EQ(drain(*b), numbered(1, 4));
}

TEST_F(SpoolStore, TheOldestGoBeyond1024Reports)
{
    auto spool = openSpool("bound-key");
    for (int n = 0; n < 1100; n += 100) ASSERT_TRUE(put(*spool, numbered(n, n + 100)));
    EXPECT_EQ(drain(*spool), numbered(1100 - 1024, 1100));
}

TEST_F(SpoolStore, DamagedSegmentsAndStrayFilesCostOnlyWhatTheyHit)
{
    auto spool = openSpool("damage-key");
    for (int n = 0; n < 12; n += 3) ASSERT_TRUE(put(*spool, numbered(n, n + 3)));
    std::vector<std::wstring> paths = segmentPaths("damage-key");
    ASSERT_EQ(paths.size(), 4u);
    std::sort(paths.begin(), paths.end());
    auto bytesOf = [](const std::wstring& path) {
        std::ifstream in(path.c_str(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    auto rewrite = [](const std::wstring& path, const std::string& bytes) {
        std::ofstream(path.c_str(), std::ios::binary | std::ios::trunc) << bytes;
    };
    std::string first = bytesOf(paths[0]);
    rewrite(paths[0], first.substr(0, first.size() - 5));  // the last entry cut short
    std::string second = bytesOf(paths[1]);
    second[second.size() / 2] ^= 0x20;                     // a flipped byte in the middle entry's body
    rewrite(paths[1], second);
    rewrite(paths[2], std::string());                      // an empty segment
    std::ofstream((folder("damage-key") + L"\\0000000000000000000000000000000f.tsq").c_str(), std::ios::binary)
        << std::string(5000, 'T');                           // garbage under a segment's name
    std::ofstream((folder("damage-key") + L"\\stray.tsq.tmp").c_str()) << "left by a crash";

    std::vector<std::string> expected = numbered(0, 2);
    for (const std::string& s : numbered(3, 6)) {
        if (s != numbered(4, 5)[0]) expected.push_back(s);
    }
    for (const std::string& s : numbered(9, 12)) expected.push_back(s);
    auto later = openSpool("damage-key");  // a new store: the one that opens the spool cleans up
    EXPECT_EQ(drain(*later), expected);
    // Damaged segments are kept aside for a look, whole ones are gone, and so is the stray file.
    WIN32_FIND_DATAW found;
    int setAside = 0;
    HANDLE find = FindFirstFileW((folder("damage-key") + L"\\*").c_str(), &found);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L".." || name == L"spool.lock") continue;
        EXPECT_EQ(name.substr(name.size() - 8), L".tsq.bad") << std::string(name.begin(), name.end());
        ++setAside;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    EXPECT_EQ(setAside, 4);  // the cut, the flipped, the empty and the garbage segment
}

// What a crash or another program leaves in the folder must neither be lost nor stop the rest: a
// whole temporary file (written, not yet renamed) is sent in its place, a cut one removed, and a
// segment nobody can open is passed over until it can be.
TEST_F(SpoolStore, CrashLeftoversAndASegmentThatCannotBeOpenedDoNotStopTheRest)
{
    auto spool = openSpool("stray-key");
    ASSERT_TRUE(put(*spool, numbered(0, 2)));
    ASSERT_TRUE(put(*spool, numbered(2, 4)));
    std::vector<std::wstring> paths = segmentPaths("stray-key");
    std::sort(paths.begin(), paths.end());
    ASSERT_EQ(paths.size(), 2u);
    // Temporary files of a writer that is gone (its process id is in the name): one whole, sorting
    // last, one cut short.
    const std::string whole = spool::encodeSegment(withIds(numbered(4, 6)));
    const std::string name = spool::segmentName(UINT64_MAX / 2, 0xfffffff0u, 1);
    std::ofstream((folder("stray-key") + L"\\" + std::wstring(name.begin(), name.end()) + L".tmp").c_str(),
                  std::ios::binary) << whole;
    const std::string cut = spool::segmentName(UINT64_MAX / 2, 0xfffffff0u, 2);
    std::ofstream((folder("stray-key") + L"\\" + std::wstring(cut.begin(), cut.end()) + L".tmp").c_str(),
                  std::ios::binary) << whole.substr(0, whole.size() - 3);

    HANDLE held = CreateFileW(paths[0].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    auto other = openSpool("stray-key");
    std::vector<std::string> expected = numbered(2, 6);
    EXPECT_EQ(drain(*other), expected);
    CloseHandle(held);
    EXPECT_EQ(drain(*other), numbered(0, 2));
    EXPECT_TRUE(segmentPaths("stray-key").empty());
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder("stray-key") + L"\\*.tmp").c_str(), &found);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "the cut temporary file is removed";
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
}

// Segments go out by name (the time they were written), whatever order the folder lists them in.
TEST_F(SpoolStore, SegmentsAreSentInNameOrderAndOldEntriesWithoutIdsStillGoOut)
{
    auto spool = openSpool("names-key");
    ASSERT_TRUE(put(*spool, numbered(0, 1)));  // makes the folder
    drain(*spool);
    const int order[] = {5, 2, 7, 0, 3, 6, 1, 4};
    for (int n : order) {
        const std::string name = spool::segmentName(0x01d0000000000000ull + 1000u * static_cast<unsigned>(7 - n),
                                                    0xfffffff0u, static_cast<uint32_t>(n));
        std::ofstream((folder("names-key") + L"\\" + std::wstring(name.begin(), name.end())).c_str(), std::ios::binary)
            << spool::encodeSegment(withIds(numbered(7 - n, 8 - n)));
    }
    EXPECT_EQ(drain(*spool), numbered(0, 8));

    // A segment an older build wrote: entries without an id are read and come back without one.
    const std::string old = spool::segmentName(1, 0xfffffff0u, 9);
    std::ofstream((folder("names-key") + L"\\" + std::wstring(old.begin(), old.end())).c_str(), std::ios::binary)
        << spool::encodeSegment(numbered(8, 10));
    ASSERT_TRUE(spool->claim());
    Report report;
    for (const std::string& body : numbered(8, 10)) {
        ASSERT_TRUE(spool->peek(report));
        EXPECT_EQ(report.body, body);
        EXPECT_EQ(report.id, "");
        spool->markDone();
    }
    spool->release();
}

TEST_F(SpoolStore, AFolderThatCannotBeWrittenRefusesTheAppendWithoutHarm)
{
    // Where the spool folder would be lies a file: nothing can be created there.
    const std::wstring parent = root_ + L"\\TallyScope\\spool";
    CreateDirectoryW((root_ + L"\\TallyScope").c_str(), nullptr);
    CreateDirectoryW(parent.c_str(), nullptr);
    std::ofstream(folder("blocked-key").c_str()) << "not a folder";
    auto spool = openSpool("blocked-key");
    EXPECT_FALSE(put(*spool, numbered(0, 3)));
    EXPECT_FALSE(spool->claim());

    // No %LOCALAPPDATA% at all: nothing is stored, nothing breaks.
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    auto nowhere = openSpool("blocked-key");
    EXPECT_FALSE(put(*nowhere, numbered(0, 1)));
    EXPECT_FALSE(nowhere->claim());
}

}  // namespace
