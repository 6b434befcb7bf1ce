// The process the crash, fault and sharing tests run: it makes, changes,
// counts or recovers a database through the engine's C interface, so that
// it can be killed, failed or cut off at any call. Every command but `make`
// works on an existing database.
//
//   journal_writer make DB DRIVER RECORDS   a new database of RECORDS records
//   journal_writer change DB DRIVER SEED    one change: appends, modifications
//                                           and erases across the file, then
//                                           a commit; prints "committed"
//                                           once it reported 0
//   journal_writer touch DB K               a small change: the number of K
//                                           records spread over the file
//                                           rewritten in place, a commit
//   journal_writer commits DB K M BUSYMS [MARK]
//                                           K sessions, each appending M
//                                           records and committing; with
//                                           MARK, first waits (10 s at most)
//                                           for that file to exist
//   journal_writer count DB LOOPS BUSYMS [UNTIL MARK]
//                                           LOOPS read-only opens, each
//                                           printing the number of records,
//                                           "busy" or "error CODE"; with
//                                           UNTIL, stops at a count of UNTIL
//                                           or more, and creates MARK after
//                                           its first count
//   journal_writer recover DB               opens for writing (which rolls an
//                                           unfinished change back), closes
//
// Exit status 0, or 1 with "failed CODE" (the engine's result code) on
// standard output; 2 for a wrong command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/tarn20.h"

namespace {

constexpr uint32_t kUtf8[1] = {2};
constexpr uint32_t kAll = 2, kEqual = 1, kRecords = 1, kSearch = 2;

struct Failed {
    uint32_t code;
};

void check(uint32_t rc) {
    if (rc != 0) throw Failed{rc};
}

// The record types: an indexed id owns each record, an indexed text and a
// plain number follow it.
struct Types {
    LumTypeId id = 0, text = 0, number = 0;
};

struct Session {
    lumdb* db = nullptr;
    lumdct* dct = nullptr;
    lumcursor* cursor = nullptr;
    Types types;

    Session(const char* path, uint32_t flags, uint32_t driver, uint32_t busyMs) {
        LumDbParams p{flags, 0, 0, driver, busyMs, 0};
        check(LumDbCreate(&db, 0, path, &p));
    }
    // Gives up on whatever is not committed, should a step fail.
    ~Session() {
        if (cursor != nullptr) LumCursorDestroy(cursor);
        if (dct != nullptr) LumDctDestroy(dct);
        if (db != nullptr) LumDbAbandon(db);
    }
    void define() {
        check(LumDctCreate(&dct, db));
        check(LumDctNewType(dct, 5, 0, &types.id, "id", 2));
        check(LumDctNewType(dct, 9, 0, &types.text, "text", 2));
        check(LumDctNewType(dct, 5, 1, &types.number, "number", 2));
        check(LumCursorCreate(&cursor, db));
    }
    void find() {
        check(LumDctCreate(&dct, db));
        check(LumDctLookupName(dct, "id", &types.id, 2));
        check(LumDctLookupName(dct, "text", &types.text, 2));
        check(LumDctLookupName(dct, "number", &types.number, 2));
        check(LumCursorCreate(&cursor, db));
    }
    void append(uint32_t id, uint32_t seed) {
        const std::string text = "text of record " + std::to_string(id) + " in change " + std::to_string(seed);
        const uint32_t number = id * 2654435761u ^ seed;
        check(LumCursorNewRecord(cursor));
        check(LumCursorAppendField(cursor, types.id, &id, 0, nullptr));
        check(LumCursorAppendField(cursor, types.text, text.c_str(), 0, kUtf8));
        check(LumCursorAppendField(cursor, types.number, &number, 0, nullptr));
    }
    // The owners of every record, in the engine's result order.
    std::vector<uint32_t> records() {
        lumquery* q = nullptr;
        LumQueryParams* p = nullptr;
        lumresset* set = nullptr;
        lumreslist* list = nullptr;
        check(LumQueryCreate(&q, db));
        check(LumQueryGetParams(q, &p));
        p->kind = kSearch;
        p->op = kAll;
        p->left = kRecords;
        p->typeId = types.id;
        const uint32_t rc = LumQueryExecute(q, &set);
        LumQueryDestroy(q, 0);
        check(rc);
        uint32_t n = 0;
        uint32_t r = LumResListCreate(&list, set, 0, nullptr);
        LumResDestroy(set);
        check(r);
        r = LumResListGetSize(list, &n);
        std::vector<uint32_t> owners;
        for (uint32_t i = 0; r == 0 && i < n; ++i) {
            r = LumResListGetItem(list, cursor, i);
            uint32_t owner = 0;
            if (r == 0) r = LumCursorFetchField(cursor, nullptr, nullptr, 0, nullptr, nullptr, nullptr, &owner);
            owners.push_back(owner);
        }
        LumResListDestroy(list);
        check(r);
        return owners;
    }
    void commit() { check(LumDbCommit(db)); }
    void close() {
        LumCursorDestroy(cursor);
        cursor = nullptr;
        LumDctDestroy(dct);
        dct = nullptr;
        const uint32_t rc = LumDbClose(db);
        db = nullptr;
        check(rc);
    }
};

uint32_t number(const char* text) { return uint32_t(std::strtoul(text, nullptr, 10)); }

void make(const char* path, uint32_t driver, uint32_t count) {
    Session s(path, 0, driver, 0);
    s.define();
    for (uint32_t id = 0; id < count; ++id) s.append(id, 0);
    s.commit();
    s.close();
}

// Longer texts move their fields; erased records free blocks that the
// appends may take again; the appends grow the file.
void change(const char* path, uint32_t driver, uint32_t seed) {
    Session s(path, 16, driver, 0);
    s.find();
    const std::vector<uint32_t> owners = s.records();
    const std::string longer = "a longer text, changed by change " + std::to_string(seed);
    for (size_t i = 0; i < owners.size(); i += 7) {
        check(LumCursorGotoMemberAddress(s.cursor, owners[i]));
        check(LumCursorGotoField(s.cursor, 1));
        check(LumCursorModifyField(s.cursor, nullptr, longer.c_str(), 0, kUtf8));
    }
    for (size_t i = 3; i < owners.size(); i += 11) {
        check(LumCursorGotoMemberAddress(s.cursor, owners[i]));
        check(LumCursorEraseRecord(s.cursor));
    }
    const uint32_t first = 1000000 * (seed + 1);
    for (uint32_t id = first; id < first + uint32_t(owners.size() / 2); ++id) s.append(id, seed);
    s.commit();
    std::printf("committed\n");
    std::fflush(stdout);
    s.close();
}

void touch(const char* path, uint32_t records) {
    Session s(path, 16, 1, 0);
    s.find();
    const std::vector<uint32_t> owners = s.records();
    const uint32_t value = 77;
    for (uint32_t k = 0; k < records && !owners.empty(); ++k) {
        check(LumCursorGotoMemberAddress(s.cursor, owners[owners.size() * k / records]));
        check(LumCursorGotoField(s.cursor, 2));
        check(LumCursorModifyField(s.cursor, nullptr, &value, 0, nullptr));
    }
    s.commit();
    std::printf("committed\n");
    std::fflush(stdout);
    s.close();
}

// So that the readers of a sharing test are under way before the first
// change, however slowly they start.
void awaitMark(const char* mark) {
    for (int waited = 0; mark != nullptr && waited < 10000 && access(mark, F_OK) != 0; ++waited) usleep(1000);
}

void commits(const char* path, uint32_t sessions, uint32_t each, uint32_t busyMs, const char* mark) {
    awaitMark(mark);
    for (uint32_t k = 0; k < sessions; ++k) {
        Session s(path, 16, 1, busyMs);
        s.find();
        const uint32_t first = 2000000 + k * each;
        for (uint32_t id = first; id < first + each; ++id) s.append(id, k);
        s.commit();
        s.close();
    }
}

void count(const char* path, uint32_t loops, uint32_t busyMs, uint32_t until, const char* mark) {
    for (uint32_t i = 0; i < loops; ++i) {
        try {
            Session s(path, 17, 1, busyMs);
            s.find();
            const size_t n = s.records().size();
            std::printf("%zu\n", n);
            s.close();
            if (mark != nullptr) {
                std::fclose(std::fopen(mark, "a"));
                mark = nullptr;
            }
            if (until != 0 && n >= until) return;
        } catch (const Failed& f) {
            if (f.code != LUM_ERR_BUSY) throw;
            std::printf("busy\n");
        }
    }
}

void recover(const char* path) {
    Session s(path, 16, 1, 0);
    s.close();
}

int run(int argc, char** argv) {
    const std::string command = argc > 2 ? argv[1] : "";
    const char* db = argc > 2 ? argv[2] : nullptr;
    if (command == "make" && argc == 5) return make(db, number(argv[3]), number(argv[4])), 0;
    if (command == "change" && argc == 5) return change(db, number(argv[3]), number(argv[4])), 0;
    if (command == "touch" && argc == 4) return touch(db, number(argv[3])), 0;
    if (command == "commits" && (argc == 6 || argc == 7))
        return commits(db, number(argv[3]), number(argv[4]), number(argv[5]), argc == 7 ? argv[6] : nullptr), 0;
    if (command == "count" && argc == 5) return count(db, number(argv[3]), number(argv[4]), 0, nullptr), 0;
    if (command == "count" && argc == 7)
        return count(db, number(argv[3]), number(argv[4]), number(argv[5]), argv[6]), 0;
    if (command == "recover" && argc == 3) return recover(db), 0;
    std::fprintf(stderr, "journal_writer: see the head of journal_writer.cpp for the commands\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const Failed& f) {
        std::printf("failed %u\n", f.code);
        std::fflush(stdout);
        return 1;
    }
}
