// Engine costs per item that must not grow with the size of the database:
//  - storing an element as the XML layer does (pointer pair, a field in the
//    child, back to the pointer by member address, a step on, an append after
//    it), n times into one record;
//  - entering n keys of one class into the value index;
//  - an equality search that answers n fields.
// Each runs at n = 10^4, 10^5 and 10^6; compare the time per item.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "engine/database.h"
#include "engine/tarn20.h"

namespace {

constexpr uint32_t kGrow = 16u << 20;

constexpr LumTypeId Type(uint32_t base, uint32_t flag, uint32_t number) {
    return base | flag << 8 | number << 16;
}

struct Session {
    lumdb* db = nullptr;
    lumcursor* cur = nullptr;
    bool ok = false;

    // The data area is made large enough up front, so that the driver's
    // growth (reallocating and zeroing memory) is not timed.
    explicit Session(int64_t bytes) {
        LumDbParams p = {0, uint32_t(bytes), kGrow, 4, 0, 0};
        ok = LumDbCreate(&db, 0, nullptr, &p) == 0 && LumCursorCreate(&cur, db) == 0;
        // The memory comes lazily from the system; fault it in before timing.
        if (ok) std::memset(db->store->view->data, 0, db->store->view->dataSize);
    }
    ~Session() {
        if (cur != nullptr) LumCursorDestroy(cur);
        if (db != nullptr) LumDbClose(db);
    }
};

// One element: the loop body of storing a document whose root has n children.
bool StoreElement(lumcursor* cur) {
    static const uint32_t kUtf8[1] = {2};
    uint32_t pointer = 0, index = 0;
    if (LumXMLAppendPointerPair(cur, 1, 2, 134, &pointer, nullptr) != 0) return false;
    if (LumCursorAppendField(cur, Type(153, 1, 2), "text", 0, kUtf8) != 0) return false;
    if (LumCursorGotoMemberAddress(cur, pointer) != 0) return false;
    if (LumCursorGetFieldIndex(cur, &index) != 0) return false;
    if (LumCursorGotoField(cur, index + 1) != 9) return false;  // the pointer is last
    return LumCursorAppendField(cur, Type(153, 1, 1), "tail", 0, kUtf8) == 0;
}

void BM_StoreElementsIntoOneRecord(benchmark::State& state) {
    const int64_t n = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        {
            Session s(n * 96 + 4096);
            const uint32_t first = 0;
            bool ok = s.ok && LumCursorAppendField(s.cur, Type(5, 1, 1), &first, 0, nullptr) == 0;
            state.ResumeTiming();
            for (int64_t i = 0; ok && i < n; ++i) ok = StoreElement(s.cur);
            state.PauseTiming();
            uint32_t count = 0;
            if (!ok || LumCursorGetNumFields(s.cur, &count) != 0 || count != 2 * n + 1)
                state.SkipWithError("storing elements failed");
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_InsertKeysOfOneClass(benchmark::State& state) {
    const int64_t n = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        {
            Session s(n * 64 + (1 << 20));
            bool ok = s.ok;
            state.ResumeTiming();
            for (int64_t i = 0; ok && i < n; ++i) {
                const uint32_t key = uint32_t(i) * 2654435761u;  // distinct, spread over buckets
                ok = LumCursorAppendField(s.cur, Type(5, 0, 1), &key, 0, nullptr) == 0;
            }
            state.PauseTiming();
            if (!ok) state.SkipWithError("append failed");
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_EqualSearchWithManyMatches(benchmark::State& state) {
    const int64_t n = state.range(0);
    Session s(n * 24 + 4096);
    const uint32_t key = 4711;
    bool ok = s.ok;
    for (int64_t i = 0; ok && i < n; ++i)
        ok = LumCursorAppendField(s.cur, Type(5, 0, 1), &key, 0, nullptr) == 0;
    lumquery* q = nullptr;
    LumQueryParams* p = nullptr;
    ok = ok && LumQueryCreate(&q, s.db) == 0 && LumQueryGetParams(q, &p) == 0;
    if (!ok) {
        state.SkipWithError("setup failed");
        return;
    }
    *p = LumQueryParams{2, 1, 0, 0, &key, nullptr, 0, 0, Type(5, 0, 1)};
    for (auto _ : state) {
        lumresset* set = nullptr;
        lumreslist* list = nullptr;
        uint32_t size = 0;
        if (LumQueryExecute(q, &set) != 0 || LumResListCreate(&list, set, 0, nullptr) != 0 ||
            LumResListGetSize(list, &size) != 0 || size != n) {
            state.SkipWithError("search failed");
            break;
        }
        LumResListDestroy(list);
        LumResDestroy(set);
    }
    LumQueryDestroy(q, 0);
    state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(BM_StoreElementsIntoOneRecord)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InsertKeysOfOneClass)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EqualSearchWithManyMatches)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
