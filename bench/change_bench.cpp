// A small change to an existing database, timed step by step, for
// bench/journal.sh: records of about BYTES bytes of indexed text appended
// (one text field each, under the type "bench_note", made on first use) and
// committed, in one session.
//
//   change_bench DB BYTES
//
// Prints "open S change S commit S close S" (seconds of each step).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/tarn20.h"

namespace {

using Clock = std::chrono::steady_clock;

void check(uint32_t rc, const char* what) {
    if (rc == 0) return;
    std::fprintf(stderr, "change_bench: %s: %s\n", what, LumErrorMessage(int32_t(rc)));
    std::exit(1);
}

double since(Clock::time_point& t) {
    const Clock::time_point now = Clock::now();
    const double s = std::chrono::duration<double>(now - t).count();
    t = now;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: change_bench DB BYTES\n");
        return 2;
    }
    const size_t bytes = std::strtoul(argv[2], nullptr, 10);
    const uint32_t utf8[1] = {2};
    Clock::time_point t = Clock::now();
    lumdb* db = nullptr;
    LumDbParams p{16, 0, 0, 1, 0, 0};
    check(LumDbCreate(&db, 0, argv[1], &p), "open");
    const double open = since(t);
    lumdct* dct = nullptr;
    lumcursor* cur = nullptr;
    LumTypeId note = 0;
    check(LumDctCreate(&dct, db), "dictionary");
    if (LumDctLookupName(dct, "bench_note", &note, 2) != 0) check(LumDctNewType(dct, 9, 0, &note, "bench_note", 2), "type");
    check(LumCursorCreate(&cur, db), "cursor");
    for (size_t done = 0, i = 0; done < bytes; ++i) {
        const std::string text = "a note of about a hundred bytes, number " + std::to_string(i) +
                                 ", added to a large database by one small change";
        check(LumCursorNewRecord(cur), "record");
        check(LumCursorAppendField(cur, note, text.c_str(), 0, utf8), "append");
        done += text.size();
    }
    const double change = since(t);
    check(LumDbCommit(db), "commit");
    const double commit = since(t);
    LumCursorDestroy(cur);
    LumDctDestroy(dct);
    check(LumDbClose(db), "close");
    std::printf("open %.4f change %.4f commit %.4f close %.4f\n", open, change, commit, since(t));
    return 0;
}
