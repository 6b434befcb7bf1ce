// Engine call sequences driven by the input, checked against a plain model:
// records of typed fields, and what every equality query must find.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/tarn20.h"

namespace {

struct Field {
    LumTypeId id;
    std::string value;  // bytes as stored (strings without the terminator)
    uint32_t offset;
};
using Record = std::vector<Field>;

// Byte reader over the input; past the end it yields zeros.
struct Input {
    const uint8_t* data;
    size_t size, pos = 0;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint32_t word() { return byte() | byte() << 8 | byte() << 16 | uint32_t(byte()) << 24; }
    bool done() const { return pos >= size; }
};

[[noreturn]] void fail(const char* what, uint32_t code) {
    std::fprintf(stderr, "model mismatch: %s (code %u)\n", what, code);
    std::abort();
}
void expectOk(uint32_t code, const char* what) {
    if (code != 0) fail(what, code);
}

constexpr uint8_t kBases[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 128, 129, 138};

int classOf(uint8_t base) {
    if (base >= 1 && base <= 10) return base;
    if (base == 128) return 1;
    if (base >= 129 && base <= 137) return 5;
    if (base >= 138 && base <= 156) return 9;
    return 0;
}
bool indexed(LumTypeId id) {
    const int cls = classOf(uint8_t(id));
    return ((id >> 8) & 0xFF) == 0 && cls != 7 && cls != 10;
}

struct Harness {
    lumdb* db = nullptr;
    lumcursor* cur = nullptr;
    std::vector<Record> records;

    std::string makeValue(Input& in, uint8_t base, uint32_t* length) {
        const int cls = classOf(base);
        const uint32_t w = in.word() % 7;  // few distinct values: many collisions
        switch (cls) {
            case 1: case 2: return std::string(1, char(w * 40));
            case 3: case 4: { uint16_t v = uint16_t(w * 0x3001); return std::string(reinterpret_cast<char*>(&v), 2); }
            case 5: case 6: { uint32_t v = w * 0x30000001u; return std::string(reinterpret_cast<char*>(&v), 4); }
            case 7: return std::string();
            case 10: *length = w; return std::string(w, 'b');
            default: { static const char* words[] = {"", "a", "ab", "abc", "b\xC3\xA9", "ba", "zz"}; return words[w]; }
        }
    }

    LumTypeId makeType(Input& in) {
        const uint8_t base = kBases[in.byte() % sizeof kBases];
        const uint32_t plain = in.byte() % 4 == 0 ? 1 : 0;
        return (uint32_t(64 + in.byte() % 3) << 16) | plain << 8 | base;
    }

    uint32_t append(LumTypeId id, const std::string& value, uint32_t length) {
        const uint32_t options[1] = {2};
        return LumCursorAppendField(cur, id, value.c_str(), length, options);
    }
    uint32_t currentField() {
        uint32_t field = 0;
        expectOk(LumCursorFetchField(cur, nullptr, nullptr, 0, nullptr, nullptr, &field, nullptr), "fetch");
        return field;
    }

    void newRecord(Input& in) {
        const LumTypeId id = makeType(in);
        uint32_t length = 0;
        const std::string v = makeValue(in, uint8_t(id), &length);
        expectOk(LumCursorNewRecord(cur), "new record");
        expectOk(append(id, v, length), "append owner");
        records.push_back({{id, v, currentField()}});
    }

    void appendAfter(Input& in) {
        if (records.empty()) return;
        Record& r = records[in.byte() % records.size()];
        const size_t at = in.byte() % r.size();
        const LumTypeId id = makeType(in);
        uint32_t length = 0;
        const std::string v = makeValue(in, uint8_t(id), &length);
        expectOk(LumCursorGotoMemberAddress(cur, r[at].offset), "goto member");
        expectOk(append(id, v, length), "append member");
        r.insert(r.begin() + long(at) + 1, Field{id, v, currentField()});
    }

    void modify(Input& in) {
        if (records.empty()) return;
        Record& r = records[in.byte() % records.size()];
        Field& f = r[in.byte() % r.size()];
        const LumTypeId id = in.byte() % 2 ? makeType(in) : f.id;
        uint32_t length = 0;
        const std::string v = makeValue(in, uint8_t(id), &length);
        const uint32_t encoding = 2;
        expectOk(LumCursorGotoMemberAddress(cur, f.offset), "goto member");
        expectOk(LumCursorModifyField(cur, &id, v.c_str(), length, &encoding), "modify");
        f = Field{id, v, currentField()};
    }

    void eraseField(Input& in) {
        if (records.empty()) return;
        const size_t ri = in.byte() % records.size();
        Record& r = records[ri];
        const size_t at = r.size() == 1 ? 0 : 1 + in.byte() % (r.size() - 1);
        expectOk(LumCursorGotoMemberAddress(cur, r[at].offset), "goto member");
        expectOk(LumCursorEraseField(cur), "erase field");
        r.erase(r.begin() + long(at));
        if (r.empty()) records.erase(records.begin() + long(ri));
    }

    void eraseRecord(Input& in) {
        if (records.empty()) return;
        const size_t ri = in.byte() % records.size();
        expectOk(LumCursorGotoMemberAddress(cur, records[ri][0].offset), "goto owner");
        expectOk(LumCursorEraseRecord(cur), "erase record");
        records.erase(records.begin() + long(ri));
    }

    // Every indexed field with the same class, field id and value, as offsets.
    std::set<uint32_t> expectedEqual(const Field& probe) {
        std::set<uint32_t> out;
        for (const Record& r : records)
            for (const Field& f : r)
                if (indexed(f.id) && classOf(uint8_t(f.id)) == classOf(uint8_t(probe.id)) &&
                    (f.id >> 16) == (probe.id >> 16) && f.value == probe.value)
                    out.insert(f.offset);
        return out;
    }

    std::set<uint32_t> runEqual(const Field& probe) {
        lumquery* q = nullptr;
        LumQueryParams* p = nullptr;
        expectOk(LumQueryCreate(&q, db), "query create");
        expectOk(LumQueryGetParams(q, &p), "query params");
        std::memset(p, 0, sizeof *p);
        p->kind = 2;
        p->op = 1;
        p->value1 = probe.value.c_str();
        p->encoding1 = 2;
        p->typeId = probe.id;
        lumresset* set = nullptr;
        expectOk(LumQueryExecute(q, &set), "query execute");
        expectOk(LumQueryDestroy(q, 0), "query destroy");
        lumreslist* list = nullptr;
        expectOk(LumResListCreate(&list, set, 0, nullptr), "list create");
        uint32_t n = 0;
        expectOk(LumResListGetSize(list, &n), "list size");
        std::set<uint32_t> found;
        for (uint32_t i = 0; i < n; ++i) {
            expectOk(LumResListGetItem(list, cur, i), "list item");
            if (!found.insert(currentField()).second) fail("duplicate in result", i);
        }
        LumResListDestroy(list);
        LumResDestroy(set);
        return found;
    }

    void checkQuery(Input& in) {
        if (records.empty()) return;
        const Record& r = records[in.byte() % records.size()];
        const Field& f = r[in.byte() % r.size()];
        const int cls = classOf(uint8_t(f.id));
        if (cls == 7 || cls == 10) return;  // not searchable by value
        if (runEqual(f) != expectedEqual(f)) fail("equality query", f.offset);
    }

    void checkFetch(Input& in) {
        if (records.empty()) return;
        const Record& r = records[in.byte() % records.size()];
        const size_t at = in.byte() % r.size();
        expectOk(LumCursorGotoMemberAddress(cur, r[at].offset), "goto member");
        uint32_t index = 0, count = 0, size = 0;
        LumTypeId id = 0;
        char buf[64];
        const uint32_t encoding = 2;
        expectOk(LumCursorGetFieldIndex(cur, &index), "field index");
        expectOk(LumCursorGetNumFields(cur, &count), "field count");
        expectOk(LumCursorFetchField(cur, &id, buf, sizeof buf, &encoding, &size, nullptr, nullptr), "fetch");
        if (index != at || count != r.size()) fail("position", index);
        const int cls = classOf(uint8_t(r[at].id));
        const bool text = cls == 8 || cls == 9;
        const LumTypeId want = (cls == 7 || cls == 10) ? (r[at].id | 0x100) : r[at].id;
        if (id != want) fail("type id", id);
        if (size != r[at].value.size() + (text ? 1 : 0) || std::memcmp(buf, r[at].value.data(), r[at].value.size()) != 0)
            fail("value", size);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness h;
    LumDbParams params{0, 0, 512, 4, 0, 0};
    expectOk(LumDbCreate(&h.db, 0, nullptr, &params), "db create");
    expectOk(LumCursorCreate(&h.cur, h.db), "cursor create");
    Input in{data, size};
    for (int step = 0; step < 2000 && !in.done(); ++step) {
        switch (in.byte() % 8) {
            case 0: case 1: h.newRecord(in); break;
            case 2: h.appendAfter(in); break;
            case 3: h.modify(in); break;
            case 4: h.eraseField(in); break;
            case 5: h.eraseRecord(in); break;
            case 6: h.checkQuery(in); break;
            default: h.checkFetch(in); break;
        }
    }
    for (const Record& r : h.records)
        for (const Field& f : r)
            if (classOf(uint8_t(f.id)) != 7 && classOf(uint8_t(f.id)) != 10 && h.runEqual(f) != h.expectedEqual(f))
                fail("final equality query", f.offset);
    expectOk(LumCursorDestroy(h.cur), "cursor destroy");
    expectOk(LumDbClose(h.db), "db close");
    return 0;
}
