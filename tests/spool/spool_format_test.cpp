#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "spool/spool_format.h"

namespace {

std::vector<std::string> sampleBodies()
{
    return {"Param={%22appkey%22:%22k%22,%22actionname%22:%22click%22}", std::string(spool::kMaxSpooledBody, 'x'),
            "devicecode=TSE&os=TSEW", "", "b"};
}

std::vector<std::string> bodiesOf(const std::vector<spool::Entry>& entries)
{
    std::vector<std::string> out;
    for (const spool::Entry& e : entries) out.push_back(e.body);
    return out;
}

// True when found is the originals with some left out, in the original order.
bool isOrderedSubset(const std::vector<std::string>& found, const std::vector<std::string>& originals)
{
    std::size_t at = 0;
    for (const std::string& body : found) {
        while (at < originals.size() && originals[at] != body) ++at;
        if (at == originals.size()) return false;
        ++at;
    }
    return true;
}

TEST(SpoolFormat, SegmentsRoundTripByteExactAndRefuseWhatTheyCannotHold)
{
    std::vector<std::string> bodies = sampleBodies();
    std::vector<std::string> offered = bodies;
    offered.insert(offered.begin() + 1, std::string(spool::kMaxSpooledBody + 1, 'y'));
    offered.push_back(std::string("zero\0byte", 9));
    std::size_t stored = 0;
    const std::string bytes = spool::encodeSegment(offered, &stored);
    EXPECT_EQ(stored, bodies.size());
    const std::vector<spool::Entry> entries = spool::parseSegment(bytes.data(), bytes.size());
    EXPECT_EQ(bodiesOf(entries), bodies);
    for (const spool::Entry& e : entries) {
        EXPECT_TRUE(e.waiting);
        EXPECT_EQ(bytes[e.stateOffset], spool::kWaiting);
    }

    // Marking done in place keeps every body and changes only that entry's state.
    std::string marked = bytes;
    marked[entries[1].stateOffset] = spool::kDone;
    const std::vector<spool::Entry> after = spool::parseSegment(marked.data(), marked.size());
    EXPECT_EQ(bodiesOf(after), bodies);
    for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].waiting, i != 1);
}

// Whatever happened to a segment on disk, what is read back is some of the original bodies, whole
// and in order, and nothing crashes.
TEST(SpoolFormat, DamagedSegmentsYieldOnlyWholeOriginalBodiesInOrder)
{
    const std::vector<std::string> bodies = sampleBodies();
    const std::string good = spool::encodeSegment(bodies);

    struct Damage {
        const char* name;
        std::vector<std::string> (*variants)(const std::string&);
    };
    const Damage damages[] = {
        {"cut at every length",
         [](const std::string& s) {
             std::vector<std::string> out;
             for (std::size_t n = 0; n <= s.size(); ++n) out.push_back(s.substr(0, n));
             return out;
         }},
        {"every byte flipped",
         [](const std::string& s) {
             std::vector<std::string> out;
             for (std::size_t i = 0; i < s.size(); ++i) {
                 std::string v = s;
                 v[i] = static_cast<char>(v[i] ^ 0x5A);
                 out.push_back(v);
             }
             return out;
         }},
        {"a stretch zeroed, as by a lost write",
         [](const std::string& s) {
             std::vector<std::string> out;
             for (std::size_t i = 0; i < s.size(); i += 7) {
                 std::string v = s;
                 for (std::size_t j = i; j < s.size() && j < i + 512; ++j) v[j] = 0;
                 out.push_back(v);
             }
             return out;
         }},
        {"two writers' segments spliced at random points",
         [](const std::string& s) {
             std::vector<std::string> out;
             std::mt19937 random(12);
             for (int n = 0; n < 400; ++n) {
                 std::size_t a = random() % (s.size() + 1);
                 std::size_t b = random() % (s.size() + 1);
                 out.push_back(s.substr(0, a) + s.substr(b));
             }
             return out;
         }},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.name);
        for (const std::string& variant : damage.variants(good)) {
            const std::vector<std::string> found = bodiesOf(spool::parseSegment(variant.data(), variant.size()));
            std::set<std::string> known(bodies.begin(), bodies.end());
            for (const std::string& body : found) ASSERT_TRUE(known.count(body)) << "a body that was never written";
            if (std::string(damage.name) != "two writers' segments spliced at random points") {
                ASSERT_TRUE(isOrderedSubset(found, bodies));
            }
        }
    }
    // A single flipped byte costs at most the entry it hit.
    for (std::size_t i = 0; i < good.size(); ++i) {
        std::string v = good;
        v[i] = static_cast<char>(v[i] ^ 0x01);
        EXPECT_GE(spool::parseSegment(v.data(), v.size()).size(), bodies.size() - 1) << "flip at " << i;
    }
}

TEST(SpoolFormat, RandomBytesNeverCrashTheReader)
{
    std::mt19937 random(7);
    const std::string good = spool::encodeSegment(sampleBodies());
    for (int n = 0; n < 2000; ++n) {
        std::string bytes(random() % 4096, '\0');
        for (char& c : bytes) c = static_cast<char>(random() % 4 == 0 ? "TSEW"[random() % 4] : random());
        if (n % 3 == 0) bytes.insert(random() % (bytes.size() + 1), good.substr(0, random() % good.size()));
        for (const spool::Entry& e : spool::parseSegment(bytes.data(), bytes.size())) {
            ASSERT_LE(e.body.size(), spool::kMaxSpooledBody);
            ASSERT_LT(e.stateOffset, bytes.size());
        }
    }
    EXPECT_TRUE(spool::parseSegment(nullptr, 0).empty());
}

TEST(SpoolFormat, BoundsDropTheOldestFirst)
{
    using Lengths = std::vector<std::size_t>;
    const std::size_t big = spool::kMaxSpooledBody;
    const std::size_t perBigEntry = spool::entryBytes(big);
    const std::size_t bigThatFit = spool::kMaxSpooledBytes / perBigEntry;
    struct Case {
        const char* name;
        Lengths waiting;
        Lengths incoming;
        std::size_t dropWaiting;
        std::size_t dropIncoming;
    };
    const Case cases[] = {
        {"room for all", Lengths(1000, 100), Lengths(24, 100), 0, 0},
        {"count bound", Lengths(1024, 100), Lengths(5, 100), 5, 0},
        {"byte bound", Lengths(bigThatFit, big), Lengths(3, big), 3, 0},
        {"incoming alone too many", Lengths(10, 100), Lengths(1030, 100), 10, 6},
        {"incoming alone too large", Lengths(), Lengths(bigThatFit + 2, big), 0, 2},
        {"nothing", Lengths(), Lengths(), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t dropIncoming = 99;
        EXPECT_EQ(spool::oldestToDrop(c.waiting, c.incoming, &dropIncoming), c.dropWaiting);
        EXPECT_EQ(dropIncoming, c.dropIncoming);
    }
}

TEST(SpoolFormat, FolderNamesAreSafeDistinctAndShort)
{
    const std::string longKey(63, 'K');
    struct Case {
        const char* key;
        std::string folder;
    };
    const Case cases[] = {
        {"my-app_key2", "app_my-app_key2"},
        {"MyApp", "app_%4Dy%41pp"},
        {"con", "app_con"},
        {"a/b\\c:d*e.", "app_a%2Fb%5Cc%3Ad%2Ae%2E"},
        {"\xE9t\xE9", "app_%E9t%E9"},
        {"", "app_"},
    };
    for (const Case& c : cases) EXPECT_EQ(spool::folderNameForKey(c.key), c.folder) << c.key;

    std::set<std::string> names;
    for (std::string key : {longKey, longKey.substr(1) + "L", std::string(62, 'K'), std::string(60, '%') + "abc"}) {
        const std::string name = spool::folderNameForKey(key.c_str());
        EXPECT_LE(name.size(), 4u + 40u + 9u) << key;
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_%~ABCDEF"), std::string::npos) << name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 4u);
    EXPECT_NE(spool::folderNameForKey("AB"), spool::folderNameForKey("ab"));
}

TEST(SpoolFormat, SegmentNamesSortByTimeAndAreRecognised)
{
    const std::string earlier = spool::segmentName(0x01DB000000000001ull, 0xFFFFFFFFu, 7);
    const std::string later = spool::segmentName(0x01DB000000000002ull, 1, 0);
    EXPECT_LT(earlier, later);
    EXPECT_TRUE(spool::isSegmentName(earlier));
    EXPECT_EQ(earlier, "01db000000000001ffffffff00000007.tsq");
    for (const char* other : {"01db000000000001ffffffff00000007.tmp", "01DB000000000001ffffffff00000007.tsq",
                              "spool.lock", "", "01db000000000001ffffffff0000007.tsq"}) {
        EXPECT_FALSE(spool::isSegmentName(other)) << other;
    }
    // Wine lists every folder by name, so only this shows that a listing in another order (as FAT
    // or a network share gives) still goes out oldest first, and without what is no segment.
    const std::string oldest = spool::segmentName(0x01DA000000000009ull, 2, 0);
    EXPECT_EQ(spool::segmentsOldestFirst({later, "spool.lock", oldest, "01DB000000000001ffffffff00000007.tsq", earlier}),
              (std::vector<std::string>{oldest, earlier, later}));
}

}  // namespace
