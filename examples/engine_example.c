/* A walk through the engine's C interface: define two named record types,
 * store a few records, find them by a range and by equality, combine both
 * answers and print them sorted.
 *
 *     engine_example [directory]
 *
 * creates (or overwrites) example.db in the directory, the current one by
 * default. Any failure prints the engine's message and exits with 1. */
#include <stdio.h>
#include <stdlib.h>

#include "engine/tarn20.h"

enum { UTF8 = 2, NAME_POS = 0, AGE_POS = 1 };
enum { SEARCH = 2, COMBINE = 1, RANGE = 0, EQUAL = 1, RECORDS = 1, UNION = 0 };

struct person {
    const char *name;
    int32_t age;
};

static const struct person people[] = {
    {"Ada", 36}, {"Brian", 52}, {"Chen", 29}, {"Dora", 41}, {"Emil", 18}, {"Fay", 41},
};

/* Every call returns a result code; an example can simply stop at the first
 * failure (the process exit releases what is still open). */
static void check(uint32_t rc, const char *what) {
    if (rc == 0) return;
    fprintf(stderr, "%s: %s (%u)\n", what, LumErrorMessage((int32_t)rc), (unsigned)rc);
    exit(1);
}

static void store_people(lumcursor *cur, LumTypeId nameType, LumTypeId ageType) {
    const uint32_t utf8[1] = {UTF8};
    size_t i;
    for (i = 0; i < sizeof people / sizeof people[0]; ++i) {
        check(LumCursorNewRecord(cur), "new record");
        check(LumCursorAppendField(cur, nameType, people[i].name, 0, utf8), "append name");
        check(LumCursorAppendField(cur, ageType, &people[i].age, 0, 0), "append age");
    }
    printf("stored %u records\n", (unsigned)i);
}

static lumquery *search(lumdb *db, uint32_t mode, LumTypeId type, const void *v1, const void *v2) {
    lumquery *q = 0;
    LumQueryParams *p = 0;
    check(LumQueryCreate(&q, db), "create query");
    check(LumQueryGetParams(q, &p), "query parameters");
    p->kind = SEARCH;
    p->op = mode;
    p->left = RECORDS;
    p->right = 0;
    p->value1 = v1;
    p->value2 = v2;
    p->encoding1 = UTF8;
    p->encoding2 = UTF8;
    p->typeId = type;
    return q;
}

static uint32_t count_matches(lumquery *q) {
    lumresset *set = 0;
    lumreslist *list = 0;
    uint32_t n = 0;
    check(LumQueryExecute(q, &set), "execute");
    check(LumResListCreate(&list, set, 0, 0), "result list");
    check(LumResListGetSize(list, &n), "list size");
    check(LumResListDestroy(list), "destroy list");
    check(LumResDestroy(set), "destroy set");
    return n;
}

/* Prints the records of the list: name at position 0, age at position 1. */
static void print_people(lumreslist *list, lumcursor *cur) {
    const uint32_t utf8 = UTF8;
    uint32_t n = 0, i;
    check(LumResListGetSize(list, &n), "list size");
    for (i = 0; i < n; ++i) {
        char name[32];
        int32_t age = 0;
        check(LumResListGetItem(list, cur, i), "list item");
        check(LumCursorGotoField(cur, NAME_POS), "goto name");
        check(LumCursorFetchField(cur, 0, name, sizeof name, &utf8, 0, 0, 0), "fetch name");
        check(LumCursorGotoField(cur, AGE_POS), "goto age");
        check(LumCursorFetchField(cur, 0, &age, sizeof age, 0, 0, 0, 0), "fetch age");
        printf("  %-6s %d\n", name, (int)age);
    }
}

int main(int argc, char **argv) {
    const char *dir = argc > 1 ? argv[1] : ".";
    char path[4096];
    LumDbParams params = {0, 0, 0, 0, 0, 0}; /* create, mapped file, defaults */
    lumdb *db = 0;
    lumdct *dct = 0;
    lumcursor *cur = 0;
    LumTypeId nameType = 0, ageType = 0;
    lumquery *byAge, *byName, *either;
    lumresset *set = 0;
    lumreslist *list = 0;
    const int32_t low = 30, high = 45;
    const LumSortKey order[2] = {{0, AGE_POS, 0}, {0, NAME_POS, 0}};

    if (snprintf(path, sizeof path, "%s/example.db", dir) >= (int)sizeof path) {
        fprintf(stderr, "directory name too long\n");
        return 1;
    }
    check(LumDbCreate(&db, 0, path, &params), "create database");
    check(LumDctCreate(&dct, db), "open dictionary");
    check(LumDctNewType(dct, 9, 0, &nameType, "name", UTF8), "define name");
    check(LumDctNewType(dct, 6, 0, &ageType, "age", UTF8), "define age");
    printf("types: name=0x%08X age=0x%08X\n", (unsigned)nameType, (unsigned)ageType);

    check(LumCursorCreate(&cur, db), "create cursor");
    store_people(cur, nameType, ageType);

    byAge = search(db, RANGE, ageType, &low, &high);
    byName = search(db, EQUAL, nameType, "Emil", 0);
    printf("age %d to %d: %u records\n", (int)low, (int)high, (unsigned)count_matches(byAge));
    printf("name Emil: %u record\n", (unsigned)count_matches(byName));

    /* A combination runs both searches and merges their answers. */
    {
        LumQueryParams *p = 0;
        check(LumQueryCreate(&either, db), "create query");
        check(LumQueryGetParams(either, &p), "query parameters");
        p->kind = COMBINE;
        p->op = UNION;
        p->left = (uintptr_t)byAge;
        p->right = (uintptr_t)byName;
    }
    check(LumQueryExecute(either, &set), "execute union");
    check(LumQueryDestroy(either, 1), "destroy queries");
    check(LumResListCreate(&list, set, 2, order), "sorted list");
    check(LumResDestroy(set), "destroy set");
    printf("either, by age then name:\n");
    print_people(list, cur);

    check(LumResListDestroy(list), "destroy list");
    check(LumCursorDestroy(cur), "destroy cursor");
    check(LumDctDestroy(dct), "close dictionary");
    check(LumDbClose(db), "close database");
    printf("closed example.db\n");
    return 0;
}
