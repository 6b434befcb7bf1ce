// Tag lookups of names already created through the same XML dictionary: the
// loader makes one per element, so the time per lookup must not grow with the
// number of distinct names (no query, no allocation).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/tarn20.h"

namespace {

struct Session {
    lumdb* db = nullptr;
    lumdct* dct = nullptr;
    lumxmldct* xd = nullptr;
    std::vector<std::string> names;
    bool ok = false;

    explicit Session(int count) {
        LumDbParams p = {0, 0, 0, 4, 0, 0};
        ok = LumDbCreate(&db, 0, nullptr, &p) == 0 && LumDctCreate(&dct, db) == 0 &&
             LumXMLDctCreate(&xd, dct) == 0;
        for (int i = 0; ok && i < count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "element-%05d", i);
            names.emplace_back(name);
            int32_t number = 0;
            ok = LumXMLDctLookupTag(xd, name, 1, &number) == 0;
        }
    }
    ~Session() {
        if (xd) LumXMLDctDestroy(xd);
        if (dct) LumDctDestroy(dct);
        if (db) LumDbClose(db);
    }
};

void BM_CachedTagLookup(benchmark::State& state) {
    Session s(int(state.range(0)));
    if (!s.ok) {
        state.SkipWithError("setting up the XML dictionary failed");
        return;
    }
    // A fixed stride spreads the lookups over all names and buckets.
    const size_t n = s.names.size();
    size_t i = 0;
    for (auto _ : state) {
        int32_t number = 0;
        if (LumXMLDctLookupTag(s.xd, s.names[i].c_str(), 0, &number) != 0) {
            state.SkipWithError("lookup failed");
            break;
        }
        benchmark::DoNotOptimize(number);
        i = (i + 7919) % n;
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_CachedTagLookup)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

// For comparison: names created by an earlier XML dictionary are not cached,
// so each lookup is a query on the dictionary.
void BM_UncachedTagLookup(benchmark::State& state) {
    Session s(int(state.range(0)));
    lumxmldct* fresh = nullptr;
    if (!s.ok || LumXMLDctCreate(&fresh, s.dct) != 0) {
        state.SkipWithError("setting up the XML dictionary failed");
        return;
    }
    const size_t n = s.names.size();
    size_t i = 0;
    for (auto _ : state) {
        int32_t number = 0;
        if (LumXMLDctLookupTag(fresh, s.names[i].c_str(), 0, &number) != 0) {
            state.SkipWithError("lookup failed");
            break;
        }
        benchmark::DoNotOptimize(number);
        i = (i + 7919) % n;
    }
    LumXMLDctDestroy(fresh);
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_UncachedTagLookup)->Arg(10)->Arg(10000);

}  // namespace
