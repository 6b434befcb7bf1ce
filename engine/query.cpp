// Queries: a search of the value index, or a set operator over two other
// queries, executed into a new result set.
//
// Lifecycle: created (kind 0, not executable) -> parameters written in place
// -> executed any number of times -> destroyed. Combinations are executed
// with an explicit stack, after a walk of the operand graph has made sure no
// query reaches itself; nesting depth therefore costs heap, not call stack.
#include <cstdlib>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "encoding/encoding.h"
#include "engine/c_boundary.h"
#include "engine/database.h"
#include "engine/result_codes.h"
#include "engine/resultset.h"
#include "engine/storage/format.h"
#include "engine/storage/os.h"
#include "engine/storage/value_index.h"

struct lumquery {
    lumdb* db = nullptr;
    LumQueryParams params{};
    // Intrusive queue of a recursive destroy, so that it needs no memory.
    lumquery* destroyNext = nullptr;
    bool destroyQueued = false;
};

namespace tarn {
namespace {

constexpr uint32_t kCombine = 1;
constexpr uint32_t kSearch = 2;

lumquery* leftOf(const lumquery* q) { return reinterpret_cast<lumquery*>(q->params.left); }
lumquery* rightOf(const lumquery* q) { return reinterpret_cast<lumquery*>(q->params.right); }

// The checks a combination makes of itself before it executes its operands.
uint32_t combineChecks(const lumquery* q) {
    if (q->params.left == 0 || q->params.right == 0) return rc::kBadQuery;
    if (leftOf(q) == q || rightOf(q) == q) return rc::kQueryRecursion;
    return rc::kOk;
}

// 23 when executing `root` would come back to a query already being
// executed: a cycle anywhere among the combinations it reaches.
uint32_t findCycle(lumquery* root) {
    enum Mark { kOpen = 1, kDone = 2 };
    std::unordered_map<const lumquery*, Mark> mark;
    std::vector<std::pair<lumquery*, int>> path{{root, 0}};
    mark[root] = kOpen;
    while (!path.empty()) {
        auto& [q, next] = path.back();
        if (q->params.kind != kCombine || next == 2) {
            mark[q] = kDone;
            path.pop_back();
            continue;
        }
        lumquery* operand = next++ == 0 ? leftOf(q) : rightOf(q);
        if (operand == nullptr) continue;
        auto found = mark.find(operand);
        if (found != mark.end()) {
            if (found->second == kOpen) return rc::kQueryRecursion;
            continue;
        }
        mark[operand] = kOpen;
        path.emplace_back(operand, 0);
    }
    return rc::kOk;
}

// A search operand in the stored form: class 9 text converted to UTF-8.
struct Operand {
    const void* value = nullptr;
    void* owned = nullptr;
    Operand() = default;
    Operand(const Operand&) = delete;
    Operand& operator=(const Operand&) = delete;
    ~Operand() { std::free(owned); }

    uint32_t take(const void* v, bool text, uint32_t encoding) {
        value = v;
        if (!text || v == nullptr) return rc::kOk;
        return uint32_t(enc::EncodingConvert(encoding, enc::kUtf8, v, &value, &owned, nullptr));
    }
};

uint32_t search(lumquery* q, lumresset** out) {
    const LumQueryParams& p = q->params;
    if (p.right != 0) return rc::kNotImplemented;
    if (p.left > 1) return rc::kBadQueryParams;
    const uint32_t mode = p.op;
    const uint8_t base = uint8_t(p.typeId & 0xFF);
    const uint16_t number = uint16_t(p.typeId >> 16);
    const int cls = fmt::baseTypeClass(base);
    const bool valued = mode == kIndexRange || mode == kIndexEqual || mode == kIndexContains;
    if ((mode == kIndexEqual || mode == kIndexContains) && p.value1 == nullptr)
        return rc::kBadQueryParams;
    if (mode == kIndexContains && base != fmt::kBaseBytes && base != fmt::kBaseText)
        return rc::kBadQueryParams;
    Operand low, high;
    if (valued) {
        if (!fmt::hasIndexKey(cls)) return rc::kBadQueryParams;
        if (uint32_t r = low.take(p.value1, cls == fmt::kClassText, p.encoding1)) return r;
        if (mode == kIndexRange)
            if (uint32_t r = high.take(p.value2, cls == fmt::kClassText, p.encoding2)) return r;
    }
    lumresset* set = nullptr;
    if (uint32_t r = ResultSetCreate(&set, q->db, 1, uint32_t(p.left))) return r;
    uint32_t r = IndexSearch(q->db->store, set, base, number, low.value, high.value, mode);
    if (r == rc::kOk && q->db->store->damaged) r = rc::kIllegalFile;
    if (r != rc::kOk) {
        LumResDestroy(set);
        return r;
    }
    *out = set;
    return rc::kOk;
}

// One combination being executed: its left answer once it has one.
struct Frame {
    lumquery* q;
    int stage;  // 0: checks, 1: left done, 2: right done
    lumresset* left;
};

// One execution: the combinations under way and the answer of the query
// last finished. Every answer still held when it stops early is destroyed.
struct Execution {
    std::vector<Frame> stack;
    lumresset* answer = nullptr;

    Execution() = default;
    Execution(const Execution&) = delete;
    Execution& operator=(const Execution&) = delete;
    ~Execution() {
        for (Frame& f : stack)
            if (f.left != nullptr) LumResDestroy(f.left);
        if (answer != nullptr) LumResDestroy(answer);
    }
};

// One step of execution: the query on top of the stack moves on a stage.
uint32_t step(std::vector<Frame>& stack, lumresset** answer) {
    Frame& f = stack.back();
    const uint32_t kind = f.q->params.kind;
    if (kind == kSearch) {
        lumquery* q = f.q;
        stack.pop_back();
        return search(q, answer);
    }
    if (kind != kCombine) return rc::kBadQuery;
    if (f.stage == 0) {
        if (uint32_t r = combineChecks(f.q)) return r;
        f.stage = 1;
        stack.push_back({leftOf(f.q), 0, nullptr});
    } else if (f.stage == 1) {
        f.left = *answer;
        *answer = nullptr;
        f.stage = 2;
        stack.push_back({rightOf(f.q), 0, nullptr});
    } else {
        lumresset* left = f.left;
        lumresset* right = *answer;
        const uint32_t op = f.q->params.op;
        stack.pop_back();
        *answer = nullptr;
        const uint32_t r = LumResMerge(left, right, op);
        LumResDestroy(right);
        if (r != rc::kOk) {
            LumResDestroy(left);
            return r;
        }
        *answer = left;
    }
    return rc::kOk;
}

uint32_t execute(lumquery* root, lumresset** out) {
    Execution run;
    run.stack.push_back({root, 0, nullptr});
    while (!run.stack.empty())
        if (uint32_t r = step(run.stack, &run.answer)) return r;
    *out = run.answer;
    run.answer = nullptr;
    return rc::kOk;
}

uint32_t executeChecked(lumquery* q, lumresset** out) {
    const uint32_t kind = q->params.kind;
    if (kind != kCombine && kind != kSearch) return rc::kBadQuery;
    if (kind == kCombine) {
        if (uint32_t r = combineChecks(q)) return r;
        if (uint32_t r = findCycle(q)) return r;
    }
    return execute(q, out);
}

void freeQuery(lumquery* q) {
    --q->db->refCount;
    q->~lumquery();
    std::free(q);
}

// Frees every query reachable through combinations, each once: operands may
// be shared, or lead back to a query already queued. Allocation-free, so a
// destroy cannot fail half-way and leave the database referenced.
void freeReachable(lumquery* root) {
    root->destroyQueued = true;
    lumquery* tail = root;
    for (lumquery* q = root; q != nullptr; q = q->destroyNext) {
        if (q->params.kind != kCombine) continue;
        for (lumquery* operand : {leftOf(q), rightOf(q)})
            if (operand != nullptr && !operand->destroyQueued) {
                operand->destroyQueued = true;
                tail->destroyNext = operand;
                tail = operand;
            }
    }
    for (lumquery* q = root; q != nullptr;) {
        lumquery* next = q->destroyNext;
        freeQuery(q);
        q = next;
    }
}

}  // namespace
}  // namespace tarn

namespace rc = tarn::rc;

uint32_t LumQueryCreate(lumquery** out, lumdb* db) {
    if (db == nullptr) return rc::kBadDatabase;
    if (db->store->damaged) return rc::kIllegalFile;
    if (out == nullptr) return rc::kBadParameter;
    void* mem = tarn::os::Sys().malloc(sizeof(lumquery));
    if (mem == nullptr) return rc::kMalloc;
    auto* q = new (mem) lumquery();
    q->db = db;
    ++db->refCount;
    *out = q;
    return rc::kOk;
}

uint32_t LumQueryGetParams(lumquery* q, LumQueryParams** out) {
    if (q == nullptr) return rc::kBadQuery;
    if (q->db->store->damaged) return rc::kIllegalFile;
    if (out == nullptr) return rc::kBadParameter;
    *out = &q->params;
    return rc::kOk;
}

uint32_t LumQueryExecute(lumquery* q, lumresset** out) {
    if (q == nullptr) return rc::kBadQuery;
    if (q->db->store->damaged) return rc::kIllegalFile;
    if (out == nullptr) return rc::kBadParameter;
    return tarn::Guarded([&] { return tarn::executeChecked(q, out); });
}

uint32_t LumQueryDestroy(lumquery* q, uint32_t recursive) {
    if (q == nullptr) return rc::kBadQuery;
    if (recursive > 1) return rc::kBadQueryParams;
    if (recursive == 0) {
        tarn::freeQuery(q);
        return rc::kOk;
    }
    tarn::freeReachable(q);
    return rc::kOk;
}
