// Value index: exact object layouts, tree shapes, reporting order of every
// search mode, a random model test with a full invariant check, allocation
// failures and damaged indexes.
#include "engine/storage/value_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <functional>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/result_codes.h"
#include "engine/resultset.h"
#include "engine/storage/index_memory.h"
#include "engine/storage/objstore.h"

namespace tarn {
namespace {

using Fields = std::vector<uint32_t>;
constexpr uint32_t kGrowFailure = 0x1001;

struct GrowSwitch {
    static inline bool fail = false;
    static inline uint32_t (*real)(void*, uint32_t) = nullptr;
    static uint32_t grow(void* ctx, uint32_t n) { return fail ? kGrowFailure : real(ctx, n); }
};

// ---- keys as raw stored bytes (numbers little-endian, strings without NUL) --

int classOf(uint8_t base) { return fmt::baseTypeClass(base); }
uint32_t widthOf(int cls) { return cls <= 2 ? 1 : cls <= 4 ? 2 : cls <= 6 ? 4 : 0; }

int64_t numberOf(int cls, const std::string& raw) {
    uint32_t u = 0;
    std::memcpy(&u, raw.data(), raw.size());
    switch (cls) {
    case 2: return int8_t(u);
    case 4: return int16_t(u);
    case 6: return int32_t(u);
    default: return u;
    }
}

int keyCmp(int cls, const std::string& a, const std::string& b) {
    if (widthOf(cls) == 0) {
        int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
        return c != 0 ? (c > 0) - (c < 0) : (a.size() > b.size()) - (a.size() < b.size());
    }
    int64_t x = numberOf(cls, a), y = numberOf(cls, b);
    return (x > y) - (x < y);
}

uint32_t bucketOf(int cls, const std::string& raw) {
    if (widthOf(cls) == 0) return raw.empty() ? 0 : uint8_t(raw[0]);
    uint32_t top = uint8_t(raw[widthOf(cls) - 1]);
    return cls % 2 == 0 ? top ^ 0x80 : top;
}

std::string num(int cls, int64_t v) {
    uint32_t u = uint32_t(v);
    return std::string(reinterpret_cast<const char*>(&u), widthOf(cls));
}

std::string openBound(int cls, bool high) {
    static const int64_t low[] = {0, 0, -128, 0, -32768, 0, -2147483647};
    static const int64_t top[] = {0, 255, 127, 65535, 32767, 4294967295, 2147483647};
    if (cls == 8) return high ? "\xFF" : "\x01";
    if (cls == 9) return high ? "\x7F\xFF\xFF\xFF" : "\x01";
    return num(cls, high ? top[cls] : low[cls]);
}

// ---- the fixture ---------------------------------------------------------------

class Index : public ::testing::Test {
protected:
    void open(uint32_t initialSize, uint32_t growSize) {
        if (s) StoreClose(s);
        LumDbParams p{0, initialSize, growSize, 4, 0, 0};
        ASSERT_EQ(StoreOpen(&s, &p, nullptr), 0u);
        db.store = s;
        GrowSwitch::fail = false;
        GrowSwitch::real = s->ops.grow;
        s->ops.grow = GrowSwitch::grow;
    }
    void SetUp() override { open(0, 65536); }
    void TearDown() override {
        EXPECT_EQ(db.refCount, 0u);
        StoreClose(s);
    }

    // An indexed owner field holding raw, not yet entered.
    uint32_t makeField(uint8_t base, uint16_t id, const std::string& raw) {
        uint32_t size = raw.size() + (widthOf(classOf(base)) ? 0 : 1);
        uint32_t f = 0;
        EXPECT_EQ(FieldCreate(s, &f, base, 0, id, 0, 0, size), 0u);
        FieldWrite(s, f, raw.c_str(), size, 0);
        FieldLink(s, f, 0);
        return f;
    }
    uint32_t add(uint8_t base, uint16_t id, const std::string& raw) {
        uint32_t f = makeField(base, id, raw);
        EXPECT_EQ(IndexInsert(s, base, id, raw.c_str(), f), 0u);
        return f;
    }
    Fields search(uint8_t base, uint16_t id, const void* low, const void* high, uint32_t op,
                  uint32_t expectCode = 0) {
        lumresset* set = nullptr;
        EXPECT_EQ(ResultSetCreate(&set, &db, 1, kResultFields), 0u);
        EXPECT_EQ(IndexSearch(s, set, base, id, low, high, op), expectCode);
        Fields out(ResultSetLiveCount(set));
        ResultSetLiveValues(set, out.data());
        LumResDestroy(set);
        return out;
    }
    Fields range(uint8_t base, uint16_t id, const std::string* lo, const std::string* hi) {
        return search(base, id, lo ? lo->c_str() : nullptr, hi ? hi->c_str() : nullptr, kIndexRange);
    }
    uint32_t root(uint8_t base, uint32_t bucket) { return IndexRootGet(s, base, bucket); }
    uint32_t treeRoot(uint8_t base, uint32_t bucket) {
        return DataGetU32(s, root(base, bucket) + fmt::kNodeRight);
    }
    std::string nodeKey(int cls, uint32_t node) {
        uint32_t w = widthOf(cls);
        uint32_t len = w ? w : DataStrLen(s, node + fmt::kNodeKey);
        return std::string(reinterpret_cast<const char*>(DataPtr(s, node + fmt::kNodeKey, len)), len);
    }
    // "(left key:balance right)", keys as numbers.
    std::string shape(int cls, uint32_t node) {
        if (node == 0) return "";
        std::string l = shape(cls, DataGetU32(s, node + fmt::kNodeLeft));
        std::string r = shape(cls, DataGetU32(s, node + fmt::kNodeRight));
        int bal = int8_t(DataGetU8(s, node + fmt::kNodeBalance));
        return "(" + l + std::to_string(numberOf(cls, nodeKey(cls, node))) + ":" + std::to_string(bal) + r + ")";
    }
    Fields groupFields(uint32_t group) {
        Fields out;
        for (uint32_t f = DataGetU32(s, group + fmt::kGroupFirst); f; f = DataGetU32(s, f + fmt::kFieldIndexLink))
            out.push_back(f);
        return out;
    }

    Store* s = nullptr;
    lumdb db;
};

TEST_F(Index, FirstKeyLaysOutFieldNodeHeadAndGroup) {
    uint16_t v = 4660;
    uint32_t f = 0;
    ASSERT_EQ(FieldCreate(s, &f, 3, 0, 1, 0, 0, 2), 0u);
    FieldWrite(s, f, &v, 2, 0);
    FieldLink(s, f, 0);
    ASSERT_EQ(IndexInsert(s, 3, 1, &v, f), 0u);

    const uint8_t field[18] = {4, 3, 1, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x12};
    const uint8_t node[17] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 58, 0, 0, 0, 0, 0, 0x34, 0x12};
    const uint8_t head[15] = {1, 0, 0, 0, 0, 26, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t group[15] = {2, 0, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 1, 0};
    EXPECT_EQ(f, 8u);
    EXPECT_EQ(std::memcmp(DataPtr(s, 8, 18), field, 18), 0);
    EXPECT_EQ(std::memcmp(DataPtr(s, 26, 17), node, 17), 0);
    EXPECT_EQ(std::memcmp(DataPtr(s, 43, 15), head, 15), 0);
    EXPECT_EQ(std::memcmp(DataPtr(s, 58, 15), group, 15), 0);
    EXPECT_EQ(HeaderGetU32(s, 4168), 43u);
    EXPECT_EQ(HeaderGetU32(s, fmt::kHighWaterOffset), 73u);
}

TEST_F(Index, GroupsPerFieldIdNewestFirst) {
    std::string v = num(5, 77);
    uint32_t a = add(5, 1, v), b = add(5, 1, v), c = add(5, 1, v);
    uint32_t groups = DataGetU32(s, treeRoot(5, 0) + fmt::kNodeGroups);
    EXPECT_EQ(DataGetU32(s, groups + fmt::kGroupCount), 3u);
    EXPECT_EQ(groupFields(groups), (Fields{c, b, a}));
    EXPECT_EQ(search(5, 1, v.c_str(), nullptr, kIndexEqual), (Fields{c, b, a}));

    uint32_t d = add(5, 2, v);
    uint32_t second = DataGetU32(s, groups + fmt::kGroupNext);
    EXPECT_EQ(DataGetU16(s, second + fmt::kGroupFieldId), 2);
    EXPECT_EQ(DataGetU32(s, second + fmt::kGroupCount), 1u);
    EXPECT_EQ(DataGetU32(s, d + fmt::kFieldIndexLink), 0u);
    uint32_t e = add(5, 3, v);
    uint32_t third = DataGetU32(s, groups + fmt::kGroupNext);
    EXPECT_EQ(DataGetU16(s, third + fmt::kGroupFieldId), 3) << "new groups go second";
    EXPECT_EQ(DataGetU32(s, third + fmt::kGroupNext), second);
    EXPECT_EQ(search(5, 2, v.c_str(), nullptr, kIndexEqual), Fields{d});
    EXPECT_EQ(search(5, 3, v.c_str(), nullptr, kIndexEqual), Fields{e});
    EXPECT_EQ(search(5, 4, v.c_str(), nullptr, kIndexEqual), Fields{});
}

TEST_F(Index, OneByteClassesHangGroupsAtTheRootEntry) {
    uint32_t a = add(1, 1, "\x05"), b = add(128, 1, "\x05"), c = add(2, 1, "\xFF");
    uint32_t g = root(1, 5);
    EXPECT_EQ(DataGetU8(s, g), fmt::kKindGroup);
    EXPECT_EQ(groupFields(g), (Fields{b, a})) << "code 128 shares class 1";
    EXPECT_EQ(groupFields(root(2, 0x7F)), Fields{c}) << "-1 lies in bucket 127";
    EXPECT_EQ(HeaderGetU32(s, fmt::kHighWaterOffset), 8u + 3 * 17 + 2 * 15) << "no nodes";
}

TEST_F(Index, RotationsGiveKnownShapes) {
    for (int k : {1, 2, 3}) add(5, 1, num(5, k));
    EXPECT_EQ(shape(5, treeRoot(5, 0)), "((1:0)2:0(3:0))");
    auto dirOf = [&](int key) {
        uint32_t n = 0;
        for (uint32_t p = treeRoot(5, 0); p; p = DataGetU32(s, p + (numberOf(5, nodeKey(5, p)) < key ? fmt::kNodeRight : fmt::kNodeLeft)))
            if (numberOf(5, nodeKey(5, p)) == key) n = p;
        return DataGetU8(s, n + fmt::kNodeDirection);
    };
    EXPECT_EQ(dirOf(1), fmt::kRight);
    EXPECT_EQ(dirOf(2), fmt::kRight);
    EXPECT_EQ(dirOf(3), 0);

    for (int k : {3, 1, 2}) add(6, 1, num(6, k));
    EXPECT_EQ(shape(6, treeRoot(6, 0x80)), "((1:0)2:0(3:0))") << "double rotation";
    for (int k : {4, 5, 6, 7}) add(5, 1, num(5, k));
    EXPECT_EQ(shape(5, treeRoot(5, 0)), "(((1:0)2:0(3:0))4:0((5:0)6:0(7:0)))");
    for (int k : {10, 20, 30, 40}) add(3, 1, num(3, k));
    EXPECT_EQ(shape(3, treeRoot(3, 0)), "((10:0)20:1(30:1(40:0)))");
    add(3, 1, num(3, 35));
    EXPECT_EQ(shape(3, treeRoot(3, 0)), "((10:0)20:1((30:0)35:0(40:0)))");
    add(3, 1, num(3, 5));
    add(3, 1, num(3, 1));
    EXPECT_EQ(shape(3, treeRoot(3, 0)), "(((1:0)5:0(10:0))20:0((30:0)35:0(40:0)))");
}

TEST_F(Index, EverySearchModeOverEveryClassAtBucketEdges) {
    struct Case {
        uint8_t base;
        std::vector<int64_t> keys;  // ascending
        int64_t lo, hi;             // range bounds straddling a bucket edge
        std::vector<int64_t> inRange;
    } cases[] = {
        {1, {0, 1, 254, 255}, 1, 254, {1, 254}},
        {2, {-128, -1, 0, 127}, -1, 0, {-1, 0}},
        {3, {0, 255, 256, 65535}, 255, 256, {255, 256}},
        {4, {-32768, -257, -256, -1, 0, 255, 256, 32767}, -256, 255, {-256, -1, 0, 255}},
        {5, {0, 0xFFFFFF, 0x1000000, 0xFFFFFFFF}, 0xFFFFFF, 0x1000000, {0xFFFFFF, 0x1000000}},
        {6, {-2147483647, -1, 0, 0x1000000, 2147483647}, -1, 0x1000000, {-1, 0, 0x1000000}},
    };
    for (const Case& c : cases) {
        int cls = classOf(c.base);
        std::map<int64_t, uint32_t> field;
        for (int64_t k : c.keys) field[k] = add(c.base, 9, num(cls, k));
        auto fieldsOf = [&](const std::vector<int64_t>& keys) {
            Fields out;
            for (int64_t k : keys) out.push_back(field[k]);
            return out;
        };
        std::string lo = num(cls, c.lo), hi = num(cls, c.hi);
        EXPECT_EQ(range(c.base, 9, &lo, &hi), fieldsOf(c.inRange)) << cls;
        EXPECT_EQ(search(c.base, 9, nullptr, nullptr, kIndexAll), fieldsOf(c.keys)) << cls;
        EXPECT_EQ(range(c.base, 9, nullptr, nullptr), fieldsOf(c.keys)) << cls;
        for (int64_t k : c.keys) {
            std::string v = num(cls, k);
            EXPECT_EQ(search(c.base, 9, v.c_str(), nullptr, kIndexEqual), fieldsOf({k})) << cls << " " << k;
        }
        std::string absent = num(cls, 3);
        EXPECT_EQ(search(c.base, 9, absent.c_str(), nullptr, kIndexEqual), Fields{}) << cls;
        EXPECT_EQ(search(c.base, 8, nullptr, nullptr, kIndexAll), Fields{}) << "other field id";
        EXPECT_EQ(search(c.base, 9, lo.c_str(), hi.c_str(), 4), Fields{}) << "unknown operation";
        EXPECT_EQ(search(c.base, 9, "", nullptr, kIndexContains), Fields{}) << "no text in numbers";
    }
}

TEST_F(Index, StringClassesOrderBytewiseAcrossBuckets) {
    uint32_t b = add(8, 1, "b"), a = add(8, 1, "a"), ab = add(8, 1, "ab"), ba = add(8, 1, "ba");
    uint32_t hi = add(8, 1, "\xC3\xA9");
    EXPECT_EQ(search(8, 1, nullptr, nullptr, kIndexAll), (Fields{a, ab, b, ba, hi}));
    EXPECT_EQ(search(8, 1, "ab", "b", kIndexRange), (Fields{ab, b}));
    EXPECT_EQ(search(8, 1, "b", "ab", kIndexRange), (Fields{ab, b})) << "bounds exchanged by bucket";
    EXPECT_EQ(search(8, 1, "aa", "az", kIndexAll), (Fields{a, ab})) << "all: whole bucket 'a'";
    EXPECT_EQ(search(8, 1, "ba", nullptr, kIndexEqual), Fields{ba});

    uint32_t hello = add(9, 2, "hello"), yell = add(9, 2, "yell");
    add(9, 2, "help");
    EXPECT_EQ(search(9, 2, "ell", nullptr, kIndexContains), (Fields{hello, yell}));
}

// A stored key is compared a word at a time where it lies, whatever bytes
// follow its terminator: the sign is strcmp's, or the comparison is left to
// a whole read only when both keys run on past their 16-byte starts.
TEST(IndexKeys, StartsOrderAsStringsWhateverFollowsTheTerminator) {
    std::mt19937 rng(2718);
    auto randomKey = [&rng] {
        std::string k(rng() % 3 == 0 ? 0 : 4 + rng() % 14, 'k');  // long shared starts
        for (uint32_t n = rng() % 5; n > 0; --n) k += "ak\x01\x7F\x80\xFF"[rng() % 6];
        return k;
    };
    for (int round = 0; round < 200000; ++round) {
        const std::string a = randomKey(), b = randomKey();
        uint8_t stored[48];
        for (uint8_t& byte : stored) byte = uint8_t(rng());  // what follows the key
        std::memcpy(stored, b.c_str(), std::min<size_t>(b.size() + 1, sizeof stored));
        const bool known = rng() % 2;
        const vindex::KeyDesc kd =
            vindex::describeString(fmt::kClassText, a.c_str(), known ? uint32_t(a.size()) : kLengthUnknown);
        bool undecided = false;
        const int got = vindex::startVersus(stored, kd, &undecided);
        const int want = (std::strcmp(b.c_str(), a.c_str()) > 0) - (std::strcmp(b.c_str(), a.c_str()) < 0);
        if (undecided) {
            ASSERT_TRUE(a.size() >= 16 && b.size() >= 16 && a.compare(0, 16, b, 0, 16) == 0)
                << "round " << round << ": '" << a << "' against '" << b << "'";
        } else {
            ASSERT_EQ(got, want) << "round " << round << ": '" << a << "' against '" << b << "'";
        }
    }
}

TEST_F(Index, ReversedBoundsAcrossBucketsAreExchanged) {
    std::map<int, uint32_t> f;
    for (int k : {1, 5, 10, 20, 255, 256, 300, 301, 70000 % 65536}) f[k] = add(3, 1, num(3, k));
    std::string a = num(3, 300), b = num(3, 5);
    Fields forward = range(3, 1, &b, &a);
    EXPECT_EQ(forward, (Fields{f[5], f[10], f[20], f[255], f[256], f[300]}));
    EXPECT_EQ(range(3, 1, &a, &b), forward);
    std::string lo = num(3, 20), hi = num(3, 10);
    EXPECT_EQ(range(3, 1, &lo, &hi), Fields{}) << "one bucket: an empty range";
    EXPECT_EQ(search(3, 1, lo.c_str(), hi.c_str(), kIndexAll).size(), 5u) << "all: the whole of bucket 0";
}

TEST_F(Index, OpenBoundsOfSignedAndStringClasses) {
    uint32_t min = add(6, 1, num(6, INT32_MIN)), next = add(6, 1, num(6, INT32_MIN + 1));
    uint32_t max = add(6, 1, num(6, INT32_MAX));
    std::string low = num(6, INT32_MIN);
    EXPECT_EQ(range(6, 1, nullptr, nullptr), (Fields{next, max}));
    EXPECT_EQ(range(6, 1, &low, nullptr), (Fields{min, next, max}));
    EXPECT_EQ(search(6, 1, nullptr, nullptr, kIndexAll), (Fields{min, next, max}));

    uint32_t e8 = add(8, 1, ""), one = add(8, 1, "\x01"), ff = add(8, 1, "\xFF"), ff1 = add(8, 1, "\xFF\x01");
    EXPECT_EQ(range(8, 1, nullptr, nullptr), (Fields{one, ff}));
    EXPECT_EQ(search(8, 1, nullptr, nullptr, kIndexAll), (Fields{one, ff, ff1}));
    EXPECT_EQ(search(8, 1, "", nullptr, kIndexEqual), Fields{e8});
    EXPECT_EQ(search(8, 1, "", nullptr, kIndexContains), (Fields{one, ff, ff1})) << "empty pattern";

    add(9, 1, "");
    uint32_t d = add(9, 1, "\x7F"), top = add(9, 1, "\x7F\xFF\xFF\xFF"), past = add(9, 1, "\x7F\xFF\xFF\xFF\x01");
    add(9, 1, "\xC3\xA9");
    add(9, 1, "\x80");
    EXPECT_EQ(range(9, 1, nullptr, nullptr), (Fields{d, top}));
    EXPECT_EQ(search(9, 1, nullptr, nullptr, kIndexAll), (Fields{d, top, past}));
    EXPECT_EQ(search(9, 1, "", nullptr, kIndexContains), (Fields{d, top, past}));
    EXPECT_EQ(search(9, 1, "\xA9", nullptr, kIndexContains), Fields{}) << "first byte 0x80 and up never visited";
}

TEST_F(Index, RemovalKeepsNodesAndEmptyGroups) {
    std::string v = num(4, -7);
    uint32_t a = add(4, 1, v), b = add(4, 1, v), c = add(4, 1, v);
    EXPECT_EQ(IndexRemove(s, 4, 1, v.c_str(), b), 0u);
    EXPECT_EQ(search(4, 1, v.c_str(), nullptr, kIndexEqual), (Fields{c, a}));
    EXPECT_EQ(DataGetU32(s, b + fmt::kFieldIndexLink), 0u);
    EXPECT_EQ(IndexRemove(s, 4, 1, v.c_str(), c), 0u);
    EXPECT_EQ(IndexRemove(s, 4, 1, v.c_str(), a), 0u);
    uint32_t node = treeRoot(4, 0x7F);
    uint32_t group = DataGetU32(s, node + fmt::kNodeGroups);
    EXPECT_EQ(DataGetU32(s, group + fmt::kGroupCount), 0u);
    EXPECT_EQ(DataGetU32(s, group + fmt::kGroupFirst), 0u);
    EXPECT_EQ(search(4, 1, v.c_str(), nullptr, kIndexEqual), Fields{});
    EXPECT_EQ(search(4, 1, nullptr, nullptr, kIndexAll), Fields{});
    uint32_t d = add(4, 1, v);
    EXPECT_EQ(treeRoot(4, 0x7F), node) << "the key's node is reused";
    EXPECT_EQ(search(4, 1, nullptr, nullptr, kIndexRange), Fields{d});
}

TEST_F(Index, RemovingWhatWasNeverEnteredChangesNothing) {
    std::string v = num(5, 1000);
    uint32_t a = add(5, 1, v), b = add(5, 1, v);
    uint32_t stray = makeField(5, 1, v);  // laid out as indexed, never entered
    std::string absent = num(5, 999);
    auto before = std::vector<uint8_t>(s->view->data, s->view->data + HeaderGetU32(s, fmt::kHighWaterOffset));
    EXPECT_EQ(IndexRemove(s, 5, 1, v.c_str(), stray), 0u);
    EXPECT_EQ(IndexRemove(s, 5, 2, v.c_str(), a), 0u) << "no group of that id";
    EXPECT_EQ(IndexRemove(s, 5, 1, absent.c_str(), a), 0u) << "key absent";
    EXPECT_EQ(IndexRemove(s, 6, 1, v.c_str(), a), 0u) << "empty bucket";
    auto after = std::vector<uint8_t>(s->view->data, s->view->data + HeaderGetU32(s, fmt::kHighWaterOffset));
    EXPECT_EQ(before, after);
    EXPECT_EQ(search(5, 1, v.c_str(), nullptr, kIndexEqual), (Fields{b, a}));
}

TEST_F(Index, UnindexableClassesAreIgnored) {
    auto before = std::vector<uint8_t>(s->view->header, s->view->header + fmt::kHeaderSize);
    uint32_t f = makeField(7, 1, "");
    for (uint8_t base : {0, 7, 10, 11, 127, 157, 255}) {
        EXPECT_EQ(IndexInsert(s, base, 1, "abcd", f), 0u) << int(base);
        EXPECT_EQ(IndexRemove(s, base, 1, "abcd", f), 0u);
        EXPECT_EQ(search(base, 1, nullptr, nullptr, kIndexAll), Fields{});
    }
    before[fmt::kHighWaterOffset] = s->view->header[fmt::kHighWaterOffset];  // the field itself
    EXPECT_EQ(before, std::vector<uint8_t>(s->view->header, s->view->header + fmt::kHeaderSize));
    EXPECT_EQ(IndexInsert(s, 5, 1, nullptr, f), rc::kBadParameter);
    EXPECT_EQ(search(5, 1, nullptr, nullptr, kIndexEqual, rc::kBadParameter), Fields{});
}

// ---- allocation failures -----------------------------------------------------------

TEST_F(Index, FailedNodeOrHeadLeavesTheBucketEmpty) {
    for (uint32_t room : {26u, 43u}) {  // no room for the key node / for the head
        open(room, 64);
        uint16_t v = 4660;
        uint32_t f = makeField(3, 1, num(3, v));
        GrowSwitch::fail = true;
        EXPECT_EQ(IndexInsert(s, 3, 1, &v, f), kGrowFailure) << room;
        EXPECT_EQ(root(3, 0x12), 0u);
        EXPECT_EQ(search(3, 1, nullptr, nullptr, kIndexAll), Fields{});
        GrowSwitch::fail = false;
        EXPECT_EQ(IndexInsert(s, 3, 1, &v, f), 0u);
        EXPECT_EQ(root(3, 0x12), 43u) << "a freed key node is reused";
        EXPECT_EQ(search(3, 1, &v, nullptr, kIndexEqual), Fields{f});
    }
}

TEST_F(Index, FailedGroupLeavesAKeyWithoutGroups) {
    open(58, 64);
    uint16_t v = 4660;
    uint32_t f = makeField(3, 1, num(3, v));
    GrowSwitch::fail = true;
    EXPECT_EQ(IndexInsert(s, 3, 1, &v, f), kGrowFailure);
    EXPECT_EQ(root(3, 0x12), 43u);
    EXPECT_EQ(DataGetU32(s, 26 + fmt::kNodeGroups), 0u);
    EXPECT_EQ(search(3, 1, &v, nullptr, kIndexEqual), Fields{});
    EXPECT_EQ(search(3, 1, nullptr, nullptr, kIndexRange), Fields{});
    EXPECT_EQ(IndexRemove(s, 3, 1, &v, f), 0u);
    GrowSwitch::fail = false;
    EXPECT_EQ(IndexInsert(s, 3, 1, &v, f), 0u);
    EXPECT_EQ(DataGetU32(s, 26 + fmt::kNodeGroups), 58u);

    // A second field id needs a second group; a one-byte class a root group.
    uint32_t g = makeField(3, 2, num(3, v)), h = makeField(1, 1, "\x09");
    GrowSwitch::fail = true;
    EXPECT_EQ(IndexInsert(s, 3, 2, &v, g), kGrowFailure);
    EXPECT_EQ(IndexInsert(s, 1, 1, "\x09", h), kGrowFailure);
    EXPECT_EQ(DataGetU32(s, 58 + fmt::kGroupNext), 0u);
    EXPECT_EQ(root(1, 9), 0u);
    EXPECT_EQ(search(3, 1, &v, nullptr, kIndexEqual), Fields{f});
    EXPECT_FALSE(s->damaged);
}

// ---- damaged indexes -------------------------------------------------------------

class DamagedIndex : public Index {
protected:
    void SetUp() override {
        Index::SetUp();
        for (int k = 1; k <= 15; ++k) fields.push_back(add(5, 1, num(5, k)));
    }
    Fields fields;
};

TEST_F(DamagedIndex, CyclicTreeIsReportedNotWalkedForever) {
    uint32_t top = treeRoot(5, 0);
    uint32_t leaf = top;
    while (DataGetU32(s, leaf + fmt::kNodeRight)) leaf = DataGetU32(s, leaf + fmt::kNodeRight);
    DataPutU32(s, leaf + fmt::kNodeRight, top);
    std::string big = num(5, 1000), mid = num(5, 8);
    EXPECT_EQ(search(5, 1, nullptr, nullptr, kIndexAll, 29).size(), 15u) << "reported before the cycle";
    search(5, 1, mid.c_str(), nullptr, kIndexRange, 29);
    EXPECT_EQ(search(5, 1, big.c_str(), nullptr, kIndexEqual, 29), Fields{});
    EXPECT_EQ(IndexInsert(s, 5, 1, big.c_str(), fields[0]), 29u);
    EXPECT_EQ(IndexRemove(s, 5, 1, big.c_str(), fields[0]), 29u);
    EXPECT_TRUE(s->damaged);
}

TEST_F(DamagedIndex, LeftCycleAndSelfLoop) {
    uint32_t top = treeRoot(5, 0);
    DataPutU32(s, top + fmt::kNodeLeft, top);
    EXPECT_EQ(search(5, 1, nullptr, nullptr, kIndexRange, 29), Fields{});
    std::string one = num(5, 1);
    EXPECT_EQ(search(5, 1, one.c_str(), nullptr, kIndexEqual, 29), Fields{});
}

TEST_F(DamagedIndex, GarbageRootsAndKinds) {
    IndexRootSet(s, 5, 1, 0xFFFFFF00);
    std::string v = num(5, 0x01000000);
    EXPECT_EQ(search(5, 1, v.c_str(), nullptr, kIndexEqual, 29), Fields{});
    s->damaged = false;
    IndexRootSet(s, 5, 1, fields[3]);  // a field where a head node should be
    EXPECT_EQ(search(5, 1, nullptr, nullptr, kIndexAll, 29).size(), 15u);
    EXPECT_EQ(IndexInsert(s, 5, 1, v.c_str(), fields[0]), 29u);
    s->damaged = false;
    DataPutU8(s, treeRoot(5, 0), 7);
    EXPECT_EQ(search(5, 1, nullptr, nullptr, kIndexAll, 29), Fields{});
}

// A string key that runs to the end of an area not ending in a NUL: a
// descent that compares with it reports the damage, even where the key's
// first bytes would settle the comparison, and reads nothing past the area.
TEST_F(Index, AKeyRunningOffTheAreaIsReportedNotReadPast) {
    const std::string longer(2u << 16, 'k');  // equal to the damaged key as far as the area goes
    for (const std::string& key : {longer, std::string("kc")}) {
        SCOPED_TRACE(key.substr(0, 4));
        open(0, 65536);
        add(9, 1, "km");
        add(9, 1, "ka");
        add(9, 1, "kb");  // the last node laid out, and the root once rotated
        const uint32_t f = makeField(9, 1, "x");
        const uint32_t last = treeRoot(9, 'k');
        ASSERT_EQ(nodeKey(9, last), "kb");
        ASSERT_LT(StoreDataSize(s), longer.size());
        // From that node's key to the end of the area, no NUL.
        const uint32_t from = last + fmt::kNodeKey;
        const std::vector<uint8_t> fill(StoreDataSize(s) - from, 'k');
        DataPutBytes(s, from, uint32_t(fill.size()), fill.data());
        ASSERT_FALSE(s->damaged);
        EXPECT_EQ(IndexInsert(s, 9, 1, key.c_str(), f), 29u);
        EXPECT_TRUE(s->damaged);
    }
}

TEST_F(DamagedIndex, CyclicGroupAndFieldChains) {
    std::string v = num(5, 4);
    uint32_t second = add(5, 2, v);
    uint32_t node = treeRoot(5, 0);
    while (numberOf(5, nodeKey(5, node)) != 4)
        node = DataGetU32(s, node + (numberOf(5, nodeKey(5, node)) < 4 ? fmt::kNodeRight : fmt::kNodeLeft));
    uint32_t first = DataGetU32(s, node + fmt::kNodeGroups);
    uint32_t g2 = DataGetU32(s, first + fmt::kGroupNext);
    DataPutU32(s, g2 + fmt::kGroupNext, first);
    EXPECT_EQ(search(5, 3, v.c_str(), nullptr, kIndexEqual, 29), Fields{});
    s->damaged = false;
    DataPutU32(s, g2 + fmt::kGroupNext, 0);
    DataPutU32(s, second + fmt::kFieldIndexLink, second);
    EXPECT_EQ(search(5, 2, v.c_str(), nullptr, kIndexEqual, 29), Fields{second});
    s->damaged = false;
    uint32_t stray = makeField(5, 2, v);
    EXPECT_EQ(IndexRemove(s, 5, 2, v.c_str(), stray), 29u);
}

// ---- random model test -------------------------------------------------------------

struct Entry {
    uint8_t base;
    std::string raw;
    uint16_t id;
    uint32_t field;
    uint64_t seq;
};

class IndexModel : public Index {
protected:
    // Every field exactly once under its key and id, trees ordered and
    // balanced with true balance bytes, counts equal to the chains.
    void checkInvariants() {
        std::map<std::string, Fields> stored, expected;
        for (int cls : {1, 2, 3, 4, 5, 6, 8, 9}) {
            for (uint32_t b = 0; b < 256; ++b) {
                uint32_t r = HeaderGetU32(s, fmt::indexRoot(cls, b));
                if (r == 0) continue;
                if (cls <= 2) {
                    collectGroups(cls, std::string(1, char(cls == 2 ? b ^ 0x80 : b)), r, stored);
                    continue;
                }
                ASSERT_EQ(DataGetU8(s, r), fmt::kKindNode);
                ASSERT_EQ(DataGetU32(s, r + fmt::kNodeLeft), 0u);
                ASSERT_EQ(DataGetU32(s, r + fmt::kNodeGroups), 0u);
                std::vector<std::string> keys;
                checkTree(cls, b, DataGetU32(s, r + fmt::kNodeRight), 0, keys, stored);
                for (size_t i = 1; i < keys.size(); ++i) ASSERT_LT(keyCmp(cls, keys[i - 1], keys[i]), 0);
            }
        }
        for (const Entry& e : sortedModel()) expected[groupName(classOf(e.base), e.raw, e.id)].push_back(e.field);
        ASSERT_EQ(stored, expected);
        ASSERT_FALSE(s->damaged);
    }

    int checkTree(int cls, uint32_t bucket, uint32_t node, int depth, std::vector<std::string>& keys,
                  std::map<std::string, Fields>& stored) {
        if (node == 0) return 0;
        EXPECT_LT(depth, 40);
        if (depth >= 40) return 0;
        EXPECT_EQ(DataGetU8(s, node), fmt::kKindNode);
        int hl = checkTree(cls, bucket, DataGetU32(s, node + fmt::kNodeLeft), depth + 1, keys, stored);
        std::string key = nodeKey(cls, node);
        EXPECT_EQ(bucketOf(cls, key), bucket);
        keys.push_back(key);
        collectGroups(cls, key, DataGetU32(s, node + fmt::kNodeGroups), stored);
        int hr = checkTree(cls, bucket, DataGetU32(s, node + fmt::kNodeRight), depth + 1, keys, stored);
        EXPECT_EQ(int(int8_t(DataGetU8(s, node + fmt::kNodeBalance))), hr - hl);
        return 1 + std::max(hl, hr);
    }

    void collectGroups(int cls, const std::string& key, uint32_t g, std::map<std::string, Fields>& stored) {
        for (int n = 0; g != 0 && n < 100; ++n, g = DataGetU32(s, g + fmt::kGroupNext)) {
            EXPECT_EQ(DataGetU8(s, g), fmt::kKindGroup);
            Fields fs = groupFields(g);
            EXPECT_EQ(DataGetU32(s, g + fmt::kGroupCount), fs.size());
            std::string name = groupName(cls, key, DataGetU16(s, g + fmt::kGroupFieldId));
            EXPECT_EQ(stored.count(name), 0u) << "one group per key and id";
            if (!fs.empty()) stored[name] = fs;
        }
    }

    static std::string groupName(int cls, const std::string& key, uint16_t id) {
        return std::to_string(cls) + "|" + key + "|" + std::to_string(id);
    }

    // Live entries in reporting order: class, key ascending, newest first.
    std::vector<Entry> sortedModel() {
        std::vector<Entry> out = model;
        std::sort(out.begin(), out.end(), [](const Entry& a, const Entry& b) {
            int ca = classOf(a.base), cb = classOf(b.base);
            if (ca != cb) return ca < cb;
            int c = keyCmp(ca, a.raw, b.raw);
            return c != 0 ? c < 0 : a.seq > b.seq;
        });
        return out;
    }

    // What a range (whole = all) search must report, from the model alone.
    Fields expectRange(int cls, uint16_t id, std::string lo, std::string hi, bool whole) {
        if (bucketOf(cls, lo) > bucketOf(cls, hi)) std::swap(lo, hi);
        Fields out;
        for (const Entry& e : sortedModel()) {
            if (classOf(e.base) != cls || e.id != id) continue;
            uint32_t b = bucketOf(cls, e.raw);
            bool in = whole ? b >= bucketOf(cls, lo) && b <= bucketOf(cls, hi)
                            : keyCmp(cls, lo, e.raw) <= 0 && keyCmp(cls, e.raw, hi) <= 0;
            if (in) out.push_back(e.field);
        }
        return out;
    }

    // The plain three-step scan, recursive, straight over the stored tree.
    void plainScan(int cls, uint32_t node, const std::string& lo, const std::string& hi, uint16_t id, Fields& out) {
        std::string k = nodeKey(cls, node);
        uint32_t left = DataGetU32(s, node + fmt::kNodeLeft), right = DataGetU32(s, node + fmt::kNodeRight);
        if (keyCmp(cls, lo, k) < 0 && left) plainScan(cls, left, lo, hi, id, out);
        if (keyCmp(cls, lo, k) <= 0 && keyCmp(cls, k, hi) <= 0) reportGroup(DataGetU32(s, node + fmt::kNodeGroups), id, out);
        if (keyCmp(cls, k, hi) < 0 && right) plainScan(cls, right, lo, hi, id, out);
    }
    void reportGroup(uint32_t g, uint16_t id, Fields& out) {
        for (; g; g = DataGetU32(s, g + fmt::kGroupNext))
            if (DataGetU16(s, g + fmt::kGroupFieldId) == id)
                for (uint32_t f : groupFields(g)) out.push_back(f);
    }
    Fields plainRange(uint8_t base, uint16_t id, std::string lo, std::string hi) {
        int cls = classOf(base);
        if (bucketOf(cls, lo) > bucketOf(cls, hi)) std::swap(lo, hi);
        Fields out;
        for (uint32_t b = bucketOf(cls, lo); b <= bucketOf(cls, hi); ++b) {
            uint32_t r = root(base, b);
            if (r && cls <= 2) reportGroup(r, id, out);
            if (r && cls > 2 && DataGetU32(s, r + fmt::kNodeRight)) plainScan(cls, DataGetU32(s, r + fmt::kNodeRight), lo, hi, id, out);
        }
        return out;
    }

    std::string randomKey(int cls) {
        static const int64_t edges[7][6] = {{},
            {0, 1, 127, 128, 254, 255},
            {-128, -127, -1, 0, 1, 127},
            {0, 255, 256, 4660, 65534, 65535},
            {-32768, -32767, -256, -1, 0, 32767},
            {0, 0xFFFFFF, 0x1000000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF},
            {INT32_MIN, INT32_MIN + 1, -1, 0, 0xFFFFFF, INT32_MAX}};
        static const char* const strings[] = {"", "\x01", "a", "ab", "b", "\x7F", "\x7F\xFF\xFF\xFF",
                                              "\x7F\xFF\xFF\xFF\x01", "\x80", "\xC3\xA9", "\xFF", "\xFF\x01"};
        if (widthOf(cls) == 0) {
            if (rng() % 3 == 0) return strings[rng() % 12];
            // Most share long starts, which end around the lengths insertions
            // compare a word at a time (8 and 16 bytes) or a copy holds (18).
            const uint32_t shared = rng() % 3;
            std::string k(shared == 0 ? 0 : shared == 1 ? 14 + rng() % 6 : 5 + rng() % 6, 'k');
            for (uint32_t n = rng() % 4; n > 0; --n) k += "ab\x7F\x80\xFE"[rng() % 5];
            return k;
        }
        if (rng() % 3 == 0) return num(cls, edges[cls][rng() % 6]);
        // A few values per bucket so that keys repeat and trees grow.
        return num(cls, int64_t(rng() % 12) << (8 * widthOf(cls) - 8) | (rng() % 24));
    }

    void checkSearches(uint8_t base, uint16_t id) {
        int cls = classOf(base);
        std::string lo = rng() % 4 ? randomKey(cls) : openBound(cls, false);
        std::string hi = rng() % 4 ? randomKey(cls) : openBound(cls, true);
        bool openLo = lo == openBound(cls, false) && rng() % 2, openHi = hi == openBound(cls, true) && rng() % 2;
        Fields got = range(base, id, openLo ? nullptr : &lo, openHi ? nullptr : &hi);
        ASSERT_EQ(got, plainRange(base, id, lo, hi)) << "scan with whole subtrees = plain scan";
        ASSERT_EQ(got, expectRange(cls, id, lo, hi, false));
        ASSERT_EQ(search(base, id, lo.c_str(), hi.c_str(), kIndexAll), expectRange(cls, id, lo, hi, true));
        std::string v = randomKey(cls);
        ASSERT_EQ(search(base, id, v.c_str(), nullptr, kIndexEqual), expectRange(cls, id, v, v, false));
    }

    std::mt19937 rng{12345};
    std::vector<Entry> model;
    uint64_t seq = 0;
};

TEST_F(IndexModel, RandomInsertsAndRemovesMatchTheModel) {
    const uint8_t bases[] = {1, 128, 2, 3, 4, 5, 130, 6, 8, 9, 140};
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        rng.seed(seed);
        model.clear();
        open(0, 65536);
        for (int step = 0; step < 3000; ++step) {
            if (model.empty() || rng() % 3 != 0) {
                uint8_t base = bases[rng() % 11];
                Entry e{base, randomKey(classOf(base)), uint16_t(1 + rng() % 3), 0, ++seq};
                e.field = add(base, e.id, e.raw);
                model.push_back(e);
            } else {
                size_t i = rng() % model.size();
                Entry e = model[i];
                model.erase(model.begin() + long(i));
                ASSERT_EQ(IndexRemove(s, e.base, e.id, e.raw.c_str(), e.field), 0u);
                ObjFree(s, e.field, FieldBlockSize(s, e.field));
            }
            if (step % 20 == 0) checkSearches(bases[rng() % 11], uint16_t(1 + rng() % 3));
            if (step % 500 == 499) checkInvariants();
        }
        checkInvariants();
        for (int i = 0; i < 300; ++i) checkSearches(bases[i % 11], uint16_t(1 + i % 3));
    }
}

TEST_F(IndexModel, AscendingAndDescendingRunsStayBalanced) {
    for (int k = 0; k < 2000; ++k) model.push_back({5, num(5, k), 1, add(5, 1, num(5, k)), ++seq});
    for (int k = 0; k < 2000; ++k) model.push_back({4, num(4, -k), 2, add(4, 2, num(4, -k)), ++seq});
    checkInvariants();
}

TEST_F(Index, ManyMatchesOfOneKey) {
    const int n = 100000;
    std::string v = num(5, 42);
    Fields want(n);
    for (int i = n - 1; i >= 0; --i) want[size_t(i)] = add(5, 1, v);
    EXPECT_EQ(search(5, 1, v.c_str(), nullptr, kIndexEqual), want);
}


// ---- the index's memory of a session -------------------------------------------

// The same insertions and removals into a store whose index uses its memory
// of the session (node copies once the area is large, remembered paths,
// fingers) and into one that descends from the root every time. The memory
// must change the cost of an insertion only, never a byte of the result.
class TwinStores {
public:
    explicit TwinStores(uint32_t initialSize) {
        for (Store*& st : both_) {
            LumDbParams p{0, initialSize, 1u << 20, 4, 0, 0};  // few growth steps
            EXPECT_EQ(StoreOpen(&st, &p, nullptr), 0u);
        }
        if (plain() != nullptr) {
            EXPECT_TRUE(IndexTestHookNoMemory(plain()));
        }
    }
    ~TwinStores() {
        for (Store* st : both_)
            if (st != nullptr) StoreClose(st);
    }
    Store* plain() { return both_[0]; }
    Store* remembering() { return both_[1]; }
    bool opened() const { return both_[0] != nullptr && both_[1] != nullptr; }

    // Enters a value under a new field in both; the field (the same in both).
    // The remembering store is also told a string's length, as appends tell
    // it, so that its key starts are taken without the scan.
    uint32_t enter(uint8_t base, uint16_t id, const void* raw, uint32_t size) {
        const int cls = fmt::baseTypeClass(base);
        const uint32_t told = cls == 8 || cls == 9 ? size - 1 : kLengthUnknown;
        uint32_t f[2] = {0, 0};
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(FieldCreate(both_[k], &f[k], base, 0, id, 0, 0, size), 0u);
            FieldWrite(both_[k], f[k], raw, size, 0);
            FieldLink(both_[k], f[k], 0);
            EXPECT_EQ(IndexInsert(both_[k], base, id, raw, f[k], k == 1 ? told : kLengthUnknown), 0u);
        }
        EXPECT_EQ(f[0], f[1]);
        return f[1];
    }
    uint32_t enter(const std::string& key, uint16_t id = 1) {
        return enter(9, id, key.c_str(), uint32_t(key.size() + 1));
    }
    void remove(const std::string& key, uint32_t field) {
        for (Store* st : both_)
            EXPECT_EQ(IndexRemove(st, 9, DataGetU16(st, field + fmt::kFieldId), key.c_str(), field), 0u);
    }

    void expectSameBytes() {
        ASSERT_EQ(plain()->index->paths, nullptr);
        ASSERT_EQ(plain()->index->mirror, nullptr);
        const uint32_t highWater = HeaderGetU32(plain(), fmt::kHighWaterOffset);
        ASSERT_EQ(HeaderGetU32(remembering(), fmt::kHighWaterOffset), highWater);
        EXPECT_EQ(std::memcmp(plain()->view->header, remembering()->view->header, fmt::kHeaderSize), 0);
        EXPECT_EQ(std::memcmp(plain()->view->data, remembering()->view->data, highWater), 0);
        EXPECT_FALSE(plain()->damaged || remembering()->damaged);
    }

private:
    Store* both_[2] = {nullptr, nullptr};
};

TEST(IndexMemory, LargeAreasStoreTheSameBytesAsPlainDescents) {
    TwinStores twins(16u << 20);
    ASSERT_TRUE(twins.opened());
    // Keys that share long starts (around the length copies keep), keys that
    // end just inside or just past it, repeats of earlier keys and numbers.
    std::mt19937 rng(7);
    const std::string stems[] = {"", "a", "same start of 17b", "same start of 18by", "same start of 19byt",
                                 "same start of 18by and then some more"};
    std::vector<std::pair<std::string, uint32_t>> entered;  // key, field
    for (int i = 0; i < 100000; ++i) {
        std::string key;
        if (!entered.empty() && rng() % 4 == 0) {
            key = entered[rng() % entered.size()].first;
        } else {
            key = stems[rng() % 6];
            for (uint32_t n = rng() % 5; n > 0; --n) key += char('a' + rng() % 26);
        }
        const uint16_t id = uint16_t(1 + rng() % 2);
        if (rng() % 8 == 0) {
            const uint32_t value = rng() % 50000;
            twins.enter(5, id, &value, 4);
        } else {
            entered.emplace_back(key, twins.enter(key, id));
        }
        // Now and then a field leaves the index again.
        if (rng() % 16 == 0) {
            const auto& [k, field] = entered[rng() % entered.size()];
            twins.remove(k, field);
        }
    }
    Store* large = twins.remembering();
    ASSERT_TRUE(large->index != nullptr && large->index->mirror != nullptr && large->index->paths != nullptr)
        << "the memory was made";
    EXPECT_TRUE(large->index->mirror->deep[9 * 256 + 's']) << "the large tree was copied from";
    twins.expectSameBytes();
}

// Keys in order start their descents at the finger of their tree: rising and
// falling runs of numbers and numbered strings, each value entered once or
// twice in a row or again after the one before, runs of several trees
// interleaved, and now and then a key elsewhere in the tree, which the
// finger must notice it cannot place.
TEST(IndexMemory, KeysInOrderStoreTheSameBytesAsPlainDescents) {
    for (uint32_t initialSize : {0u, 16u << 20}) {
        SCOPED_TRACE("initial size " + std::to_string(initialSize));
        TwinStores twins(initialSize);
        ASSERT_TRUE(twins.opened());
        std::mt19937 rng(11);
        const char* prefixes[] = {"b", "item-", "2026-12-", "x"};
        for (int run = 0; run < 60; ++run) {
            const int length = 200 + int(rng() % 3000);
            const int first = int(rng() % 1000000);
            const int step = rng() % 3 == 0 ? -1 : 1;
            const char* prefix = prefixes[rng() % 4];
            const bool twice = rng() % 2 == 0;
            for (int k = 0; k < length; ++k) {
                const int n = first + step * k;
                const std::string key = prefix + std::to_string(n);
                twins.enter(key, 1);
                if (twice) twins.enter(key, 2);
                if (k % 5 == 4) {  // the key before, found above the finger's foot, and this one again
                    twins.enter(prefix + std::to_string(n - step), 4);
                    twins.enter(key, 4);
                }
                if (k % 3 == 0) {  // a second run in another tree
                    const std::string other = "y" + std::to_string(first - step * k);
                    twins.enter(other, 1);
                }
                if (k % 2 == 0) {  // numbers rising or falling in step
                    const int32_t v = int32_t(n);
                    twins.enter(6, 1, &v, 4);
                }
                if (rng() % 64 == 0) twins.enter(prefix + std::to_string(rng() % 1000000), 3);
                if (rng() % 256 == 0) {  // a key equal to one entered long ago
                    twins.enter(prefix + std::to_string(first), 3);
                }
            }
        }
        twins.expectSameBytes();
        const IndexState* memory = twins.remembering()->index;
        ASSERT_TRUE(memory != nullptr && memory->paths != nullptr);
        EXPECT_EQ(memory->mirror != nullptr, initialSize != 0) << "copies only for a large area";
    }
}

// Announced keys are looked up many at a time, and their insertions go on
// from the paths found: announcements right and wrong, skipped, out of
// order, more of them than are kept, keys longer than those kept, numbers,
// and trees that change between a look-up and its insertion (rotations, new
// keys in the very gaps found). None of it may change a byte. A large area
// whose first keys come unannounced gets node copies too, and the look-ups
// go on beside them.
TEST(IndexMemory, AnnouncedKeysStoreTheSameBytesAsPlainDescents) {
    for (const auto& [initialSize, firstRoundTold] :
         {std::pair{0u, true}, std::pair{16u << 20, true}, std::pair{16u << 20, false}}) {
        SCOPED_TRACE("initial size " + std::to_string(initialSize) + (firstRoundTold ? "" : ", copies"));
        TwinStores twins(initialSize);
        ASSERT_TRUE(twins.opened());
        Store* told = twins.remembering();
        std::mt19937 rng(13);
        const std::string stems[] = {"a", "b", "same start of 16b", "same start of 17by", "n", std::string(120, 'L')};
        std::vector<std::string> entered;
        const auto freshKey = [&] {
            if (!entered.empty() && rng() % 5 == 0) return entered[rng() % entered.size()];
            std::string key = stems[rng() % 6];
            for (uint32_t n = 1 + rng() % 6; n > 0; --n) key += char('a' + rng() % 26);
            return key;
        };
        for (int round = 0; round < 300; ++round) {
            const uint32_t count = rng() % 4 == 0 ? kExpectedKeys + 50 : 1 + rng() % 200;
            std::vector<std::string> keys;
            // Now and then numbered keys in order, which their tree's finger
            // places without looking ahead, in a tree that random keys share.
            const bool inOrder = round % 10 < 3;
            for (uint32_t i = 0; i < count; ++i)
                keys.push_back(inOrder ? "n" + std::to_string(100000 + round * 1000 + i) : freshKey());
            for (uint32_t i = 0; i < count && (round > 0 || firstRoundTold); ++i) {
                const uint32_t r = rng() % 32;
                if (r == 0) continue;  // not announced
                if (r == 1) IndexExpect(told, 9, freshKey().c_str());  // never inserted
                if (r == 2 && i + 1 < count) IndexExpect(told, 9, keys[i + 1].c_str());  // early
                if (r == 3) {  // a number, entered right away
                    const uint32_t v = rng() % 3000;
                    IndexExpect(told, 5, &v);
                }
                IndexExpect(told, 9, keys[i].c_str(), rng() % 2 ? uint32_t(keys[i].size()) : kLengthUnknown);
            }
            for (const std::string& key : keys) {
                twins.enter(key, uint16_t(1 + rng() % 2));
                entered.push_back(key);
                if (rng() % 8 == 0) {
                    const uint32_t v = rng() % 3000;
                    twins.enter(5, 1, &v, 4);
                }
            }
        }
        ASSERT_TRUE(told->index != nullptr && told->index->expected != nullptr);
        EXPECT_EQ(told->index->mirror != nullptr, !firstRoundTold) << "copies only for a session that began unannounced";
        twins.expectSameBytes();
    }
}

// Announcements of keys in a damaged tree: their look-up gives up without
// marking the store or reading outside the area, insertions elsewhere go
// on, and the key's own insertion reports the damage as it would have.
TEST_F(DamagedIndex, AnnouncedKeysInADamagedTreeAreLeftToTheirInsertion) {
    const uint32_t top = treeRoot(5, 0);
    uint32_t leaf = top;
    while (DataGetU32(s, leaf + fmt::kNodeRight)) leaf = DataGetU32(s, leaf + fmt::kNodeRight);
    const std::vector<std::function<void()>> damages = {
        [&] { DataPutU32(s, leaf + fmt::kNodeRight, top); },                // a cycle
        [&] { DataPutU32(s, leaf + fmt::kNodeRight, 0xFFFFFFF0u); },        // off the area
        [&] { DataPutU32(s, leaf + fmt::kNodeRight, fmt::kFirstObject); },  // not a node
    };
    for (size_t d = 0; d < damages.size(); ++d) {
        SCOPED_TRACE("damage " + std::to_string(d));
        damages[d]();
        const std::string far = num(5, 1000), elsewhere = num(5, 0x01000000 + int(d));
        IndexExpect(s, 5, far.c_str());
        IndexExpect(s, 5, elsewhere.c_str());
        EXPECT_EQ(IndexInsert(s, 5, 1, elsewhere.c_str(), fields[0]), 0u);
        EXPECT_FALSE(s->damaged);
        EXPECT_EQ(IndexInsert(s, 5, 1, far.c_str(), fields[1]), 29u);
        EXPECT_TRUE(s->damaged);
        s->damaged = false;
        DataPutU32(s, leaf + fmt::kNodeRight, 0);
    }
}

// A damaged tree in a large area, as a hostile file brings it: the copies are
// made from the damaged nodes, and insertions through them must report the
// damage instead of looping or reading outside the area.
TEST(IndexMemory, DamagedCopiedTreesAreReported) {
    const auto damageRoot = [](Store* st, uint32_t root) {
        return std::vector<std::function<void()>>{
            [=] { DataPutU32(st, root + fmt::kNodeLeft, root); },                // a cycle
            [=] { DataPutU32(st, root + fmt::kNodeRight, 0xFFFFFFF0u); },        // off the area
            [=] { DataPutU32(st, root + fmt::kNodeLeft, fmt::kFirstObject); },   // not a node
            [=] { DataPutU8(st, root, fmt::kKindGroup); },                       // a node no more
        };
    };
    for (size_t which = 0; which < 4; ++which) {
        SCOPED_TRACE("damage " + std::to_string(which));
        Store* st = nullptr;
        LumDbParams p{0, 16u << 20, 65536, 4, 0, 0};
        ASSERT_EQ(StoreOpen(&st, &p, nullptr), 0u);
        auto insert = [&](int k, const char* suffix) {
            char key[16];
            const uint32_t size = uint32_t(std::snprintf(key, sizeof key, "s%07d%s", k, suffix)) + 1;
            uint32_t f = 0;
            EXPECT_EQ(FieldCreate(st, &f, 9, 0, 1, 0, 0, size), 0u);
            FieldWrite(st, f, key, size, 0);
            FieldLink(st, f, 0);
            return IndexInsert(st, 9, 1, key, f);
        };
        // A tree deep enough to be copied from, its upper levels copied.
        for (int k = 0; k < 60000; ++k) ASSERT_EQ(insert((k * 7919) % 60000, ""), 0u);
        ASSERT_TRUE(st->index->mirror->deep[9 * 256 + 's']);
        // As a file opened afresh would be: damaged, with no copies yet.
        const uint32_t root = DataGetU32(st, IndexRootGet(st, 9, 's') + fmt::kNodeRight);
        damageRoot(st, root)[which]();
        st->releaseIndex(st->index);
        st->index = nullptr;
        uint32_t r = 0;
        // New keys between the old ones, on both sides of the root.
        for (int k = 0; k < 200 && r == 0; ++k) r = insert((k * 3001) % 60000, "x");
        EXPECT_EQ(r, 29u);
        EXPECT_TRUE(st->damaged);
        StoreClose(st);
    }
}

}  // namespace
}  // namespace tarn
