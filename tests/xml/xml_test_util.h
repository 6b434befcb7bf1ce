// Helpers shared by the tests of the XML layer's core.
#ifndef TARN_TESTS_XML_TEST_UTIL_H
#define TARN_TESTS_XML_TEST_UTIL_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "engine/tarn20.h"
#include "xml/lumxmlexception.h"

namespace xml_test {

inline const unsigned char* u(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

// A database path private to this process.
inline std::string tempName(const char* suite, const char* what) {
    return testing::TempDir() + suite + "_" + what + "_" + std::to_string(getpid()) + ".db";
}

// The code of the LumXMLException an action throws, 0 when it throws none.
inline int codeOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const LumXMLException& e) {
        return e.getCode();
    }
    return 0;
}

// Number of fields of `type` whose text equals `value`; with a cursor, it is
// placed on the first of them.
inline uint32_t searchEqual(lumdb* db, LumTypeId type, const void* value, lumcursor* cursor = nullptr) {
    lumquery* query = nullptr;
    LumQueryParams* params = nullptr;
    EXPECT_EQ(LumQueryCreate(&query, db), 0u);
    EXPECT_EQ(LumQueryGetParams(query, &params), 0u);
    params->kind = 2;
    params->op = 1;
    params->value1 = value;
    params->encoding1 = 2;
    params->typeId = type;
    lumresset* set = nullptr;
    EXPECT_EQ(LumQueryExecute(query, &set), 0u);
    LumQueryDestroy(query, 0);
    lumreslist* list = nullptr;
    EXPECT_EQ(LumResListCreate(&list, set, 0, nullptr), 0u);
    LumResDestroy(set);
    uint32_t count = 0;
    EXPECT_EQ(LumResListGetSize(list, &count), 0u);
    if (count != 0 && cursor != nullptr) {
        EXPECT_EQ(LumResListGetItem(list, cursor, 0), 0u);
    }
    LumResListDestroy(list);
    return count;
}

// The whole content of a file; empty when it cannot be read.
inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace xml_test

#endif
