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

int main(void) {
    LumSysInfo info;
    LumDbParams params = {0, 0, 0, 4, 0, 0};
    lumdb *db = 0;
    lumcursor *cur = 0;
    char text[16];
    uint32_t size = 0;
    uint32_t encoding = 2;
    uint32_t options[1] = {2};

    CHECK(LumSysGetInfo(&info) == 0);
    CHECK(strcmp(info.versionMajor, "2") == 0 && info.flag == 1);
    CHECK(strcmp(LumErrorMessage(19), "Invalid index into result list") == 0);

    CHECK(LumDbCreate(&db, 0, 0, &params) == 0);
    CHECK(params.growSize == 65536);
    CHECK(LumCursorCreate(&cur, db) == 0);
    CHECK(LumCursorAppendField(cur, (64u << 16) | 9u, "hello", 0, options) == 0);
    CHECK(LumCursorFetchField(cur, 0, text, sizeof text, &encoding, &size, 0, 0) == 0);
    CHECK(size == 6 && strcmp(text, "hello") == 0);
    CHECK(LumDbClose(db) == 31);
    CHECK(LumCursorDestroy(cur) == 0);
    CHECK(LumDbClose(db) == 0);

    printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures ? 1 : 0;
}
