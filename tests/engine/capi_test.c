/* Compiled as C: the public header must be usable from plain C, and a
 * C program must be able to run a whole session against the library. */
#include <stdio.h>
#include <string.h>

#include "engine/tarn20.h"

static int failures = 0;
#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__,    \
                    __LINE__, #cond);                                 \
            ++failures;                                               \
        }                                                             \
    } while (0)

/* The names keep the numbers of the code table: callers compiled against
 * one version of the header run against every later library. */
static const struct { uint32_t name, number; } kCodes[] = {
    {LUM_OK, 0}, {LUM_ERR_NOT_IMPLEMENTED, 1}, {LUM_ERR_BAD_DATABASE, 2}, {LUM_ERR_BAD_FLAGS, 3},
    {LUM_ERR_BAD_PARAMETER, 4}, {LUM_ERR_BAD_DRIVER, 5}, {LUM_ERR_BAD_CURSOR, 6},
    {LUM_ERR_NO_RECORD, 7}, {LUM_ERR_NO_FIELD, 8}, {LUM_ERR_BAD_FIELD_INDEX, 9},
    {LUM_ERR_BUFFER_TOO_SMALL, 10}, {LUM_ERR_OWNER_HAS_MEMBERS, 11}, {LUM_ERR_BAD_DICTIONARY, 12},
    {LUM_ERR_NAME_NOT_FOUND, 13}, {LUM_ERR_TYPE_NOT_FOUND, 14}, {LUM_ERR_DICT_INCONSISTENT, 15},
    {LUM_ERR_NAME_DEFINED, 16}, {LUM_ERR_TOO_MANY_TYPES, 17}, {LUM_ERR_BAD_RESULT_SET, 18},
    {LUM_ERR_BAD_LIST_INDEX, 19}, {LUM_ERR_BAD_RESULT_LIST, 20}, {LUM_ERR_BAD_QUERY, 21},
    {LUM_ERR_BAD_EXPRESSION, 22}, {LUM_ERR_QUERY_RECURSION, 23}, {LUM_ERR_BAD_QUERY_PARAMS, 24},
    {LUM_ERR_BAD_SET_OPERATOR, 25}, {LUM_ERR_BAD_ENVIRONMENT, 26}, {LUM_ERR_BAD_BASE_TYPE, 27},
    {LUM_ERR_TOO_BIG, 28}, {LUM_ERR_ILLEGAL_FILE, 29}, {LUM_ERR_BAD_VERSION, 30},
    {LUM_ERR_REFERENCED, 31}, {LUM_ERR_BUSY, 32}, {LUM_ERR_NEEDS_RECOVERY, 33},
    {LUM_ERR_MALLOC, 0x1000}, {LUM_ERR_REALLOC, 0x1001},
    {LUM_ERR_CREATE_FILE, 0x2000}, {LUM_ERR_FLUSH_FILE, 0x2001}, {LUM_ERR_CLOSE_FILE, 0x2002},
    {LUM_ERR_SEEK_FILE, 0x2003}, {LUM_ERR_READ_FILE, 0x2004}, {LUM_ERR_WRITE_FILE, 0x2005},
    {LUM_ERR_FILE_SIZE, 0x2006}, {LUM_ERR_FILE_TOO_LARGE, 0x2007}, {LUM_ERR_MAP_VIEW, 0x2008},
    {LUM_ERR_CREATE_MAPPING, 0x2009}, {LUM_ERR_UNMAP_VIEW, 0x200A}, {LUM_ERR_FLUSH_VIEW, 0x200B},
    {LUM_ERR_FILE_ATTRIBUTES, 0x200C},
};

int main(void) {
    LumSysInfo info;
    LumDbParams params = {0, 0, 0, 4, 0, 0};
    lumdb *db = 0;
    lumcursor *cur = 0;
    char text[16];
    uint32_t size = 0;
    uint32_t encoding = 2;
    uint32_t options[1] = {2};
    unsigned i;

    for (i = 0; i < sizeof kCodes / sizeof kCodes[0]; ++i) CHECK(kCodes[i].name == kCodes[i].number);
    CHECK(LumSysGetInfo(&info) == 0);
    CHECK(strcmp(info.versionMajor, "2") == 0 && info.flag == 1);
    CHECK(strcmp(LumErrorMessage(19), "Invalid index into result list") == 0);

    CHECK(LumDbCreate(&db, 0, 0, &params) == 0);
    CHECK(params.growSize == 65536);
    CHECK(LumCursorCreate(&cur, db) == 0);
    CHECK(LumCursorAppendField(cur, (64u << 16) | 9u, "hello", 0, options) == 0);
    CHECK(LumCursorFetchField(cur, 0, text, sizeof text, &encoding, &size, 0, 0) == 0);
    CHECK(size == 6 && strcmp(text, "hello") == 0);
    CHECK(LumDbClose(db) == LUM_ERR_REFERENCED);
    CHECK(LumCursorDestroy(cur) == 0);
    CHECK(LumDbClose(db) == 0);

    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures ? 1 : 0;
}
