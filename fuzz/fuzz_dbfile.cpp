// The input bytes become a database file, which is then read through the
// engine (dictionary, type listing, queries of every mode, cursor walks over
// what they find) and through the XML layer (replay, queryUnique, searches
// and the element view of what they find and of the document's elements).
// Nothing may crash, hang or read outside the file.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "engine/tarn20.h"
#include "fuzz/scratch_file.h"
#include "tests/xml/element_walk.h"
#include "xml/element.h"
#include "xml/lumxmlexception.h"
#include "xml/search.h"
#include "xml/sax/driverorlo.h"
#include "xml/sax/handlerbase.h"
#include "xml/sax/inputsource.h"
#include "xml/sax/saxexception.h"

namespace {

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

// Visits every field of the record the cursor stands on.
void walkRecord(lumcursor* cur) {
    uint32_t count = 0;
    if (LumCursorGetNumFields(cur, &count) != 0) return;
    for (uint32_t i = 0; i < count && i < 4096; ++i) {
        if (LumCursorGotoField(cur, i) != 0) return;
        char buf[256];
        uint32_t size = 0, field = 0, owner = 0;
        LumTypeId id = 0;
        const uint32_t encoding = i % 3 == 0 ? 7 : 2;
        LumCursorFetchField(cur, &id, buf, sizeof buf, &encoding, &size, &field, &owner);
    }
}

void runQuery(lumdb* db, lumcursor* cur, LumTypeId id, uint32_t mode, const void* v1, const void* v2) {
    lumquery* q = nullptr;
    LumQueryParams* p = nullptr;
    if (LumQueryCreate(&q, db) != 0) return;
    LumQueryGetParams(q, &p);
    std::memset(p, 0, sizeof *p);
    p->kind = 2;
    p->op = mode;
    p->left = mode & 1;
    p->value1 = v1;
    p->value2 = v2;
    p->encoding1 = p->encoding2 = 2;
    p->typeId = id;
    lumresset* set = nullptr;
    if (LumQueryExecute(q, &set) == 0) {
        const LumSortKey key{0, 0, nullptr};
        lumreslist* list = nullptr;
        if (LumResListCreate(&list, set, 1, &key) == 0) {
            uint32_t n = 0;
            LumResListGetSize(list, &n);
            for (uint32_t i = 0; i < n && i < 64; ++i)
                if (LumResListGetItem(list, cur, i) == 0) walkRecord(cur);
            LumResListDestroy(list);
        }
        LumResDestroy(set);
    }
    LumQueryDestroy(q, 0);
}

void readThroughEngine(const std::string& path, const std::string& name) {
    lumdb* db = nullptr;
    LumDbParams params{17, 0, 0, 1, 0, 0};  // read-only: the fuzzer never writes
    if (LumDbCreate(&db, 0, path.c_str(), &params) != 0) return;
    lumdct* dct = nullptr;
    lumcursor* cur = nullptr;
    LumCursorCreate(&cur, db);
    if (LumDctCreate(&dct, db) == 0) {
        LumTypeId ids[64];
        uint32_t count = 0;
        LumDctListTypes(dct, ids, 64, &count);
        LumTypeId found = 0;
        LumDctLookupName(dct, name.c_str(), &found, 2);
        for (uint32_t i = 0; i < count && i < 64; ++i) {
            char buf[128];
            LumDctGetTypeAttributes(dct, ids[i], nullptr, nullptr, nullptr, buf, sizeof buf, 2);
            const uint32_t number = ids[i] >> 16;
            const uint32_t zero = 0, big = 0xFFFFFFFF;
            runQuery(db, cur, (number << 16) | 153, 1, name.c_str(), nullptr);
            runQuery(db, cur, (number << 16) | 153, 3, "a", nullptr);
            runQuery(db, cur, (number << 16) | 129, 0, &zero, &big);
            runQuery(db, cur, (number << 16) | 9, 2, nullptr, nullptr);
        }
        lumxmldct* xd = nullptr;
        if (LumXMLDctCreate(&xd, dct) == 0) {
            int32_t number = 0;
            char buf[64];
            LumXMLDctLookupTag(xd, name.c_str(), 0, &number);
            LumXMLLookupUserType(xd, number, buf, sizeof buf);
            LumXMLDctDestroy(xd);
        }
        LumDctDestroy(dct);
    }
    LumCursorDestroy(cur);
    LumDbClose(db);
}

void readThroughXml(const std::string& path, const std::string& name) {
    LumXMLSAX::HandlerBase handler;
    try {
        LumXMLSAX::DriverOrlo driver;
        driver.setDocumentHandler(&handler);
        driver.parse(path.c_str());
    } catch (const LumXMLSAX::SAXException&) {
    }
    try {
        LumXMLSAX::DriverOrlo driver;
        driver.setDocumentHandler(&handler);
        LumXMLSAX::InputSource source(path.c_str());
        const auto* n = reinterpret_cast<const unsigned char*>(name.c_str());
        driver.queryUnique(source, n, n, n);
    } catch (const LumXMLSAX::SAXException&) {
    }
}

// Searches for the name as tag and value, then a walk from what they find
// and from the root, each element once and a bounded number in all.
void readThroughSearch(const std::string& path, const std::string& name) {
    try {
        LumXMLDb database(path.c_str());
        database.OpenReadOnly();
        std::vector<LumXMLElement> todo;
        if (auto root = LumXMLElement::root(database)) todo.push_back(*root);
        for (const LumXMLCondition& condition :
             {LumXMLCondition::contains(name, "a"), LumXMLCondition::prefix(name, name).onAttribute(name),
              LumXMLCondition::range(name, "", name)}) {
            LumXMLSearch search(condition);
            search.within(name).join(LumXMLJoin::Or, LumXMLCondition::exact(name, name));
            search.count(database);
            LumXMLMatches matches = search.find(database);
            for (int i = 0; i < 16; ++i) {
                if (auto element = matches.next()) todo.push_back(*element);
            }
        }
        element_walk::touchAll(std::move(todo), 256);
        database.Close();
    } catch (const LumXMLException&) {
    }
}

}  // namespace

// The first bytes up to a NUL are a name used for look-ups; the rest is the file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const void* nul = std::memchr(data, 0, size < 32 ? size : 32);
    const size_t nameLength = nul ? size_t(static_cast<const uint8_t*>(nul) - data) : 0;
    const std::string name(reinterpret_cast<const char*>(data), nameLength);
    const size_t skip = nul ? nameLength + 1 : 0;
    static const std::string path = fuzz_scratch::file("/dev/shm/tarn-fuzz-db-XXXXXX");
    writeFile(path, data + skip, size - skip);
    readThroughEngine(path, name);
    // The XML layer opens for writing; give it its own copy.
    writeFile(path, data + skip, size - skip);
    readThroughXml(path, name);
    writeFile(path, data + skip, size - skip);
    readThroughSearch(path, name);
    return 0;
}
