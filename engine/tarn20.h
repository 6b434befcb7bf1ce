/*
 * tarn20 -- embedded database engine for stored XML documents.
 *
 * A database is one file: a 12288-byte header area followed by a growing data
 * area. Records are chains of typed fields; indexed fields are entered into a
 * value index that queries search. Every function returns a 32-bit result code
 * (0 = success, names below; LumErrorMessage renders any code) and hands
 * results back through pointer arguments.
 *
 * Conventions kept by every function:
 *  - A null handle is answered with the code of its kind before anything else:
 *    2 database, 6 cursor, 12 dictionary, 18 result set, 20 result list,
 *    21 query, 26 environment.
 *  - Checks run in the order documented; the first failing one decides.
 *  - Outputs are written on success only, unless a function says otherwise.
 *    Optional outputs may be null and are then skipped.
 *  - The caller owns every buffer it passes; handles belong to the caller until
 *    given to their destroy function. Nothing here throws.
 *  - 0x1000 "malloc() failed" / 0x1001 "realloc() failed" report exhausted
 *    memory; 0x2000-range codes report a failed system call.
 *  - A database file is untrusted input: a damaged file makes operations return
 *    29 "Illegal database file" instead of reading or writing out of bounds.
 *
 * Threads. The engine takes no locks. A database and everything opened on it
 * (cursors, queries, result sets, result lists, dictionaries) must not be in
 * two calls at once; between calls they may pass to another thread (ordered
 * by the caller's own synchronisation: nothing is kept per thread). Separate
 * databases may be used on separate threads at the same time: they share
 * nothing but the text area of LumErrorMessage.
 *
 * Sharing a file. Any number of read-only opens (flags 17, and any flags
 * with bits 0 and 4 set) of one file may be open at once, in this process
 * or others; an open for writing or creating is alone on its file, from
 * LumDbCreate to LumDbClose or LumDbAbandon. An open that meets the other
 * kind gets 0x2000 at once, unless LumDbParams.spare1 asks it to wait (see
 * there). A writer waiting for its turn keeps new readers out meanwhile, so
 * that a stream of readers cannot starve it.
 *
 * Changes that cannot half-happen. What a database opened on an existing
 * file changes (drivers 1 and 3) reaches the file only at LumDbCommit (or
 * at LumDbClose, which commits), and then whole or not at all: after a
 * failure at any step, a kill or a power cut, the file holds exactly what
 * the last commit that reported 0 left in it, or, for a commit cut short,
 * that or all of its change. The commit first writes the committed bytes
 * of every page it will overwrite to a journal "<file>-journal" beside the
 * file (links resolved) and syncs it and the folder, then writes and syncs
 * the file, then removes the journal (or zeroes its header) and syncs the
 * folder before it reports 0. Every LumDbCreate of an existing file, of any
 * kind, rolls a journal left by an unfinished commit back before anything
 * is read; a journal that is damaged, cut short or names another file is
 * never applied. So a caller needs write access to the folder to commit,
 * and a reader that finds an unfinished change needs write access to the
 * file and the folder (else 33). A commit that fails reports the failing
 * step's code and leaves the file as committed before, or, when even the
 * undoing failed, leaves it to the next open to undo: the database then
 * answers every later commit with the same code. A new file (flags 0, or 1
 * creating) is written whole by its first commit, with no journal; a crash
 * before it leaves a file that may not open.
 *
 * The engine starts one thread of its own, only for a new database of driver
 * 1 while LumDbCreate holds it in memory (see LumDbParams): the call that
 * grows its file to 16 MiB or beyond (any call that stores: appends,
 * modifications, new types and tags, pointer pairs) starts a thread that
 * faults the next 16 MiB of that memory in ahead of the writes. The thread
 * never touches the database's contents. It ends when the database leaves
 * memory: at the first LumDbCommit that succeeds, when the file outgrows a
 * quarter of physical memory, or in LumDbClose, which waits for it (earlier
 * when the system cannot fault memory ahead). When no thread can be had,
 * every call does the same, only slower.
 *
 * Memory. Besides its two areas (mapped, in memory, or a heap copy, as the
 * driver has them) an open database holds, all of it freed by LumDbClose and
 * none earlier; a database only read holds none of it:
 *  - about 0.6 MiB for the value index, from the first indexed value stored
 *    that is not an 8-bit integer;
 *  - from the first such value stored once the data area is 16 MiB or more,
 *    1.5 MiB of remembered index paths, and 4 MiB of copies of the index's
 *    upper nodes unless values were announced (LumCursorExpectValue) first;
 *  - about 0.2 MiB from the first value LumCursorExpectValue keeps;
 *  - driver 1, a new database held in memory: 4 GiB of address space
 *    reserved, of which only what is written takes memory, and up to 16 MiB
 *    beyond the file's end faulted in by the thread above.
 *  - drivers 1 and 3 opened for writing: 128 KiB of marks of the pages
 *    changed since the last commit; driver 1 on an existing file (or a new
 *    one once committed): 4 GiB of address space reserved, of which the
 *    pages changed and the growth since the last commit take memory (and
 *    the pages a commit changed stay copies until LumDbClose).
 * Cursors, queries, result sets and lists hold memory of their own until
 * they are destroyed.
 */
#ifndef TARN20_H
#define TARN20_H

#include <stdint.h>

#if defined(TARN20_BUILDING)
#define TARN20_API __attribute__((visibility("default")))
#else
#define TARN20_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes, by name. Append-only: a number never changes once used.
 * LumErrorMessage gives the text of each. Codes 0x1000-0x1FFF report a
 * failed run-time library call, 0x2000-0x2FFF a failed system call; their
 * texts add the calling thread's errno text. */
enum {
    LUM_OK = 0,
    LUM_ERR_NOT_IMPLEMENTED = 1,
    LUM_ERR_BAD_DATABASE = 2,
    LUM_ERR_BAD_FLAGS = 3,  /* also: a write to a database opened read-only */
    LUM_ERR_BAD_PARAMETER = 4,
    LUM_ERR_BAD_DRIVER = 5,
    LUM_ERR_BAD_CURSOR = 6,
    LUM_ERR_NO_RECORD = 7,
    LUM_ERR_NO_FIELD = 8,
    LUM_ERR_BAD_FIELD_INDEX = 9,
    LUM_ERR_BUFFER_TOO_SMALL = 10,
    LUM_ERR_OWNER_HAS_MEMBERS = 11,
    LUM_ERR_BAD_DICTIONARY = 12,
    LUM_ERR_NAME_NOT_FOUND = 13,
    LUM_ERR_TYPE_NOT_FOUND = 14,
    LUM_ERR_DICT_INCONSISTENT = 15,
    LUM_ERR_NAME_DEFINED = 16,
    LUM_ERR_TOO_MANY_TYPES = 17,
    LUM_ERR_BAD_RESULT_SET = 18,
    LUM_ERR_BAD_LIST_INDEX = 19,
    LUM_ERR_BAD_RESULT_LIST = 20,
    LUM_ERR_BAD_QUERY = 21,
    LUM_ERR_BAD_EXPRESSION = 22,
    LUM_ERR_QUERY_RECURSION = 23,
    LUM_ERR_BAD_QUERY_PARAMS = 24,
    LUM_ERR_BAD_SET_OPERATOR = 25,
    LUM_ERR_BAD_ENVIRONMENT = 26,
    LUM_ERR_BAD_BASE_TYPE = 27,
    LUM_ERR_TOO_BIG = 28,
    LUM_ERR_ILLEGAL_FILE = 29,
    LUM_ERR_BAD_VERSION = 30,
    LUM_ERR_REFERENCED = 31,
    LUM_ERR_BUSY = 32,            /* locked elsewhere for longer than the busy timeout */
    LUM_ERR_NEEDS_RECOVERY = 33,  /* an unfinished change that this process may not undo */

    LUM_ERR_MALLOC = 0x1000,
    LUM_ERR_REALLOC = 0x1001,

    LUM_ERR_CREATE_FILE = 0x2000,  /* open, lock or create */
    LUM_ERR_FLUSH_FILE = 0x2001,
    LUM_ERR_CLOSE_FILE = 0x2002,
    LUM_ERR_SEEK_FILE = 0x2003,
    LUM_ERR_READ_FILE = 0x2004,
    LUM_ERR_WRITE_FILE = 0x2005,
    LUM_ERR_FILE_SIZE = 0x2006,
    LUM_ERR_FILE_TOO_LARGE = 0x2007,
    LUM_ERR_MAP_VIEW = 0x2008,
    LUM_ERR_CREATE_MAPPING = 0x2009,  /* also: disk blocks could not be reserved */
    LUM_ERR_UNMAP_VIEW = 0x200A,
    LUM_ERR_FLUSH_VIEW = 0x200B,
    LUM_ERR_FILE_ATTRIBUTES = 0x200C
};

typedef struct lumenv     lumenv;      /* environment        */
typedef struct lumdb      lumdb;       /* database           */
typedef struct lumcursor  lumcursor;   /* cursor             */
typedef struct lumdct     lumdct;      /* dictionary         */
typedef struct lumquery   lumquery;    /* query              */
typedef struct lumresset  lumresset;   /* result set         */
typedef struct lumreslist lumreslist;  /* result list        */
typedef struct lumxmldct  lumxmldct;   /* XML dictionary     */

/* Field type word: base type code in bits 0-7, index flag in bits 8-15
 * (0 indexed, 1 plain), type number in bits 16-31 (the stored field id). */
typedef uint32_t LumTypeId;

/* Parameters of LumDbCreate. Zero words take defaults: growSize 65536,
 * driver 1. flags (bits 0 and 4 only): 0 create (truncate), 1 open or create,
 * 16 open, 17 open read-only. driver: 1 mapped file, 3 file read whole and
 * written back on commit, 4 memory only. spare1 is the busy timeout in
 * milliseconds: how long LumDbCreate waits for a file that other opens hold
 * (see Sharing a file above), polling every few milliseconds; when the time
 * runs out it answers 32 "busy" (errno EWOULDBLOCK). 0, the default, waits
 * not at all and answers 0x2000 at once, as a locked file always has.
 * spare2 is the largest size in bytes the file may grow to, header
 * included; 0, the default, leaves the format's own limit of 4 GiB. A
 * growth beyond it is refused as one beyond that limit is: 0x2007 (errno
 * EFBIG), the area as it was. It bounds growth only: a file that is larger
 * already opens as before. (A caller that tests what happens at the limit
 * sets it low, rather than writing 4 GiB.)
 * Driver 1 holds a new file in memory until its first commit or close (or
 * until it outgrows a quarter of physical memory, when it maps the file and
 * writes to it at once), then maps it privately; the file's blocks are
 * reserved as it grows. An existing file opened for writing is mapped
 * privately: the growth of one change lies in memory until the commit
 * writes it (at most a quarter of physical memory: beyond, 0x2009 with
 * ENOMEM), and a full disk is reported by the commit. A new file of 16 MiB
 * or more held in memory has a thread of its own (see Threads above). */
typedef struct LumDbParams {
    uint32_t flags, initialSize, growSize, driver, spare1, spare2;
} LumDbParams;

typedef struct LumSysInfo {
    const char *versionMajor, *versionMinor, *versionRelease;
    uint32_t flag;
} LumSysInfo;

/* Query parameter block, written in place through LumQueryGetParams.
 * Search (kind 2): op = mode (0 range, 1 equal, 2 all, 3 contains), left =
 * result kind (0 fields, 1 records), right = 0, value1/value2 = operands,
 * encoding1/encoding2 = encodings of text operands, typeId = fields sought.
 * Combine (kind 1): op = set operator of LumResMerge, left/right = queries. */
typedef struct LumQueryParams {
    uint32_t    kind;       /* 1 combine, 2 search                      */
    uint32_t    op;
    uintptr_t   left;       /* result kind (search) or lumquery* (combine) */
    uintptr_t   right;      /* 0 (search) or lumquery* (combine)          */
    const void *value1;
    const void *value2;
    uint32_t    encoding1;
    uint32_t    encoding2;
    LumTypeId   typeId;
} LumQueryParams;

typedef int32_t (*LumCompareFn)(uint32_t baseA, const void *a,
                                uint32_t baseB, const void *b);
/* One sort key of LumResListCreate: the value at field `position` of each
 * record is compared; order 0 ascending, 1 descending, 2 by `compare`. */
typedef struct LumSortKey {
    uint32_t     order;     /* 0 ascending, 1 descending, 2 compare     */
    uint32_t     position;
    LumCompareFn compare;
} LumSortKey;

/* ---- Errors, environment, system information ---------------------------- */

/* Text of a result code. Never fails: codes outside 0..13573 give
 * "Invalid errorcode", codes without a message "Unknown error". Codes with bit
 * 0x1000 or 0x2000 set are composed as "message: system text:" into one
 * process-wide 512-byte area, overwritten by the next such call (any thread);
 * the system text is that of the calling thread's errno, so ask on the thread
 * that got the code, before its next call. Other texts are constants. */
TARN20_API const char *LumErrorMessage(int32_t code);

/* Creates an environment: 4 null out or params; 1 when params[0] is 0
 * (nothing created); 0x1000; on success *out receives the handle. */
TARN20_API uint32_t LumEnvCreate(lumenv **out, const uint32_t *params);

/* Frees an environment: 26 for null, else 0. */
TARN20_API uint32_t LumEnvDestroy(lumenv *env);

/* Fills version "2" "0" "1" and flag 1 (constant texts, not to be freed):
 * 0, or 4 for a null info. */
TARN20_API uint32_t LumSysGetInfo(LumSysInfo *info);

/* ---- Databases ------------------------------------------------------------ */

/* Creates or opens the database `name` as params->flags says; `reserved` is
 * not read. Defaults are written back into *params. An unfinished change of
 * an existing file is rolled back first (see Changes above).
 * Codes, in order: 2 null out; 4 null params; 5 unknown driver; driver open
 * failures (0x2000 range: 0x2000 when the file cannot be opened or is open
 * elsewhere, with no wait asked for; 32 when the wait of spare1 ran out; 33
 * when an unfinished change must be rolled back and this process may not
 * write the file or its folder; the code of a failed rollback); 29 not a
 * database file (wrong magic, shorter than the header, impossible header
 * words); 30 other version; 0x1000.
 * The memory driver (4) ignores `name`, which may then be null; the file
 * drivers refuse a null name with 4 and a directory or other non-regular
 * file with 0x2000. */
TARN20_API uint32_t LumDbCreate(lumdb **out, uint32_t reserved, const char *name, LumDbParams *params);

/* Makes the database durable, its change since the last commit whole or
 * not at all (see Changes above): 2; 0 without effect when flags is exactly
 * 17; else the driver's commit code (0x2000 range, 0x1000 for its buffer).
 * A commit with nothing changed writes nothing. */
TARN20_API uint32_t LumDbCommit(lumdb *db);

/* Commits (unless flags is exactly 17) and closes. 2; 31 while cursors,
 * queries, result sets or a dictionary are open (nothing closed). Commit and
 * close failures are not reported; the handle is freed. */
TARN20_API uint32_t LumDbClose(lumdb *db);

/* Closes without committing: for a caller that gives up on what it wrote
 * since the last commit, and does not want it written out first. Nothing
 * more is written to the file, which then holds exactly what the last
 * commit left; only a new file of driver 1 that outgrew memory before its
 * first commit (see LumDbParams) has been given its bytes already, so a
 * caller that abandons a database it created removes the file too. 2; 31
 * while cursors, queries,
 * result sets or a dictionary are open (nothing closed). Close failures are
 * not reported; the handle is freed. */
TARN20_API uint32_t LumDbAbandon(lumdb *db);

/* Copies the parameter block (defaults applied): 2; 4 null out. */
TARN20_API uint32_t LumDbGetParams(lumdb *db, LumDbParams *out);

/* Copies min(size, strlen(name)) bytes of the file name, without a
 * terminator: 2; 4 null buffer with a nonzero size. */
TARN20_API uint32_t LumDbGetName(lumdb *db, char *buffer, uint32_t size);

/* ---- Dictionary of record types ------------------------------------------ */

/* Opens the dictionary of db (one per database): 2; 12 when one is open. */
TARN20_API uint32_t LumDctCreate(lumdct **out, lumdb *db);
/* Closes it: 12 for null. */
TARN20_API uint32_t LumDctDestroy(lumdct *dct);
/* Defines a type with the next free number (from 64): 12; 17 full; 16 name
 * already defined; append failures. name may be null (unnamed type). */
TARN20_API uint32_t LumDctNewType(lumdct *dct, uint8_t base, uint8_t indexFlag, LumTypeId *out,
                       const void *name, uint32_t encoding);
/* Describes type `id`: 12; 14 unknown; 15 inconsistent; with a buffer, the
 * name converted to `encoding`: 9 unnamed type, 10 buffer too small. */
TARN20_API uint32_t LumDctGetTypeAttributes(lumdct *dct, LumTypeId id, uint32_t *base,
                                 uint32_t *indexFlag, uint32_t *number,
                                 void *buffer, uint32_t size, uint32_t encoding);
/* Erases the type record of `id` (fields of the type stay): 12; 14; 15. */
TARN20_API uint32_t LumDctDeleteType(lumdct *dct, LumTypeId id);
/* Lists type ids in ascending order into array[0..capacity) and the total
 * number into *count; either may be null. */
TARN20_API uint32_t LumDctListTypes(lumdct *dct, LumTypeId *array, uint32_t capacity, uint32_t *count);
/* Finds a type by name (byte-exact in UTF-8): 12; 13 not found; 15. */
TARN20_API uint32_t LumDctLookupName(lumdct *dct, const void *name, LumTypeId *out, uint32_t encoding);

/* ---- Cursors ------------------------------------------------------------- */

/* A cursor stands on one record (its owner) and one field of it. A cursor
 * must be destroyed before its database is closed. Every cursor call but
 * LumCursorDestroy answers 29 right after its handle checks once the file
 * has been found damaged. */
/* Creates a cursor on db: 2; 29; 4 null out; 0x1000. */
TARN20_API uint32_t LumCursorCreate(lumcursor **out, lumdb *db);
/* 6, else 0. */
TARN20_API uint32_t LumCursorDestroy(lumcursor *cur);
/* Forgets the current record; the next append starts a new one. */
TARN20_API uint32_t LumCursorNewRecord(lumcursor *cur);
/* Appends a field after the current field (or as the owner of a new record).
 * `length` is read for base type 10 only; options[0] is the encoding of a
 * text value (null options: encoding 0). Codes: 6; 29; 8 record without
 * current field; 27 base type without storage class or index flag above 1;
 * 4 null value of a type that has one; 3 database opened read-only;
 * conversion failures; allocation/growth failures (nothing is stored then).
 * On success the new field is current. */
TARN20_API uint32_t LumCursorAppendField(lumcursor *cur, LumTypeId id, const void *value,
                              uint32_t length, const uint32_t *options);
/* Announces that a value of type `id` (options as for an append) is about to
 * be appended through this cursor. An indexed value's place in the index is
 * then looked up together with those of the other values announced before
 * the next append, which costs much less than a look-up each. Only a hint:
 * nothing is written, and the value may never come. Codes, as for an append:
 * 6; 29; 27; 4 null value. */
TARN20_API uint32_t LumCursorExpectValue(lumcursor *cur, LumTypeId id, const void *value,
                              const uint32_t *options);
/* Moves to field `position` of the current record: 6; 29; 7 no record; 9
 * beyond the end (cursor unchanged). */
TARN20_API uint32_t LumCursorGotoField(lumcursor *cur, uint32_t position);
/* Moves to the field after the current one: what GotoField with the current
 * field's position plus one does, for a reader that walks records field by
 * field. The position is found once after a jump (GotoMemberAddress) and
 * counted from then on, so each step costs the same. 6; 29 (also for a
 * current field its record does not hold); 7 no record; 8 no current field;
 * 9 on the record's last field (cursor unchanged). */
TARN20_API uint32_t LumCursorGotoNextField(lumcursor *cur);
/* Position of the current field: 6; 29; 7 no record; 8 no current field;
 * 4 null out. */
TARN20_API uint32_t LumCursorGetFieldIndex(lumcursor *cur, uint32_t *out);
/* Number of fields of the current record: 6; 29; 7; 4 null out. */
TARN20_API uint32_t LumCursorGetNumFields(lumcursor *cur, uint32_t *out);
/* Jumps to the field at data offset `address` and its record: 6; 29 when the
 * address does not lie inside the data area. */
TARN20_API uint32_t LumCursorGotoMemberAddress(lumcursor *cur, uint32_t address);
/* Reads the current field: 6; 8. outId, outField and outOwner are written as
 * soon as known; outSize is the value size (text: converted to *encoding, 0
 * when null, terminator included) and is written even when the fetch then
 * fails with 10 (buffer too small, nothing copied). */
TARN20_API uint32_t LumCursorFetchField(lumcursor *cur, LumTypeId *outId, void *buffer, uint32_t size,
                             const uint32_t *encoding, uint32_t *outSize,
                             uint32_t *outField, uint32_t *outOwner);
/* Replaces type and/or value of the current field (null id: type stays; null
 * value: value stays). A larger value moves the field to a new block. */
TARN20_API uint32_t LumCursorModifyField(lumcursor *cur, const LumTypeId *id, const void *value,
                              uint32_t length, const uint32_t *encoding);
/* Erases the current field: 6; 8; 11 an owner that still has members. */
TARN20_API uint32_t LumCursorEraseField(lumcursor *cur);
/* Erases every field of the current record: 6; 7. */
TARN20_API uint32_t LumCursorEraseRecord(lumcursor *cur);

/* ---- Queries --------------------------------------------------------------- */

TARN20_API uint32_t LumQueryCreate(lumquery **out, lumdb *db);
/* Hands out the address of the query's parameter block (valid until the
 * query is destroyed): 21. */
TARN20_API uint32_t LumQueryGetParams(lumquery *q, LumQueryParams **out);
/* Runs the query into a new result set: 21 null or unset kind; 23 a
 * combination that reaches itself; 24 bad parameters; 1 search word 3 not 0;
 * 25 bad operator; conversion and allocation failures. */
TARN20_API uint32_t LumQueryExecute(lumquery *q, lumresset **out);
/* Destroys the query, with recursive 1 also the operands of a combination:
 * 21; 24 recursive neither 0 nor 1. */
TARN20_API uint32_t LumQueryDestroy(lumquery *q, uint32_t recursive);

/* ---- Result sets ---------------------------------------------------------- */

/* Creates an empty set on db, for offsets the caller adds with LumResAdd, so
 * that positions it found by other means can be combined with query answers
 * by LumResMerge. kind as a search's result kind: 0 fields (the offsets as
 * given), 1 records (the owner of each). Codes: 2; 29 damaged store; 4 null
 * out or kind above 1; 0x1000. The set holds the database open until it is
 * destroyed. */
TARN20_API uint32_t LumResCreate(lumresset **out, lumdb *db, uint32_t kind);
/* Adds the data offset of a field (kind 0) or its record's owner (kind 1),
 * unless the set holds that value already: 18; 29 when the store is damaged
 * or the offset lies outside the data area (the set unchanged, the store not
 * taken for damaged); 0x1001 (the set unchanged). */
TARN20_API uint32_t LumResAdd(lumresset *set, uint32_t field);
/* Copies a set: 18; 1 for kind 1 (nothing created). */
TARN20_API uint32_t LumResClone(lumresset **out, lumresset *source, uint32_t kind);
/* target = target op other (0 union, 1 intersection, 2 difference,
 * 3 symmetric difference); other is unchanged: 18; 25. */
TARN20_API uint32_t LumResMerge(lumresset *target, lumresset *other, uint32_t op);
TARN20_API uint32_t LumResDestroy(lumresset *set);

/* ---- Result lists ------------------------------------------------------------ */

/* Array form of a set, sorted by `keys` when keyCount > 0 and keys != null:
 * 18; cursor creation failures; 0x1000. The list does not refer to the set. */
TARN20_API uint32_t LumResListCreate(lumreslist **out, lumresset *set, uint32_t keyCount,
                          const LumSortKey *keys);
TARN20_API uint32_t LumResListGetSize(lumreslist *list, uint32_t *out);
/* Places `cur` on item `item`: 20; 19 beyond the list; 6 null cursor. */
TARN20_API uint32_t LumResListGetItem(lumreslist *list, lumcursor *cur, uint32_t item);
TARN20_API uint32_t LumResListDestroy(lumreslist *list);

/* ---- XML dictionary and pointer pairs ---------------------------------------- */

/* Tag-name cache over a dictionary; destroy it before the dictionary. */
TARN20_API uint32_t LumXMLDctCreate(lumxmldct **out, lumdct *dct);
TARN20_API uint32_t LumXMLDctDestroy(lumxmldct *xd);
/* Type number of tag `name` (UTF-8), created when `create` is nonzero:
 * 12 null handle; 13 unknown without create; dictionary failures. Numbers from
 * 32768 come out negative (16-bit value sign-extended). */
TARN20_API uint32_t LumXMLDctLookupTag(lumxmldct *xd, const char *name, int32_t create, int32_t *out);
/* Writes the tag name of type `number` into buffer: 12; 14 unknown type;
 * other failures report 0 and leave an empty string when size >= 1. */
TARN20_API uint32_t LumXMLLookupUserType(lumxmldct *xd, int32_t number, void *buffer, uint32_t size);
/* Links a child record to the cursor's record: a pointer field of base type
 * `code` and field id parentNumber after the current field, and the start
 * field (129) of a new record; each holds the other's offset. The cursor moves
 * to the new record. Neither field is indexed. */
TARN20_API uint32_t LumXMLAppendPointerPair(lumcursor *cur, int32_t parentNumber, int32_t childNumber,
                                 uint8_t code, uint32_t *pointerOut, uint32_t *startOut);

#ifdef __cplusplus
}
#endif

#endif /* TARN20_H */
