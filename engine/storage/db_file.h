// Opening a database file: the open mode, the locks that let many readers or
// one writer in, the wait for them, and the recovery of an unfinished change
// before anything is read.
//
// Locks. A read-only open (flags 17) holds a shared flock() on its file, a
// read-write or creating open an exclusive one, both until the file is
// closed. So that a stream of readers cannot keep a writer out for ever,
// every opener first passes a gate: an open-file-description lock of one
// byte at kGateOffset of the same file, taken for writing by an opener that
// wants the exclusive lock (held until it has it) and for reading by one
// that wants the shared lock (held likewise). A waiting writer thus stops
// new readers at the gate while those inside finish. The XML layer's
// replacement of a file (xml/sax/replacement.cpp) locks the same way.
//
// Waiting. Without a busy timeout every lock is tried once: a file held
// elsewhere gives 0x2000 with errno EWOULDBLOCK, as a locked file always
// has. With one, the opener polls (from 1 ms, doubling to 16 ms) until it
// gets through or the time is up: then 32 "busy", errno EWOULDBLOCK.
//
// A file renamed over (or removed) while the opener waited for it is not
// the database any more: once locked, the descriptor's inode must still be
// the one the name leads to, else the name is opened again.
//
// Recovery (engine/storage/journal.h). With its lock held, an opener of an
// existing file looks for the journal beside it. A hot one is rolled back
// before the file's size is even read: by a writer at once; by a reader
// through a descriptor opened for writing, after trading its shared lock for
// the exclusive one (not atomic, so it looks again once it has that lock),
// then opening again from the start to take the shared lock and look once
// more. A reader that may not write the file, or neither overwrite nor
// remove the journal, gets 33 instead and reads nothing. A writer removes a
// journal that is not hot (cut short, damaged, another file's): it cannot
// apply to anything. A creating open removes any journal before emptying
// the file, since what it describes is going.
#ifndef TARN_STORAGE_DB_FILE_H
#define TARN_STORAGE_DB_FILE_H

#include <climits>
#include <cstdint>

#include "engine/storage/format.h"

namespace tarn::os {

// How a database file is opened, worked out from LumDbParams.flags.
struct OpenMode {
    bool isNew = false;     // the file is (re)created and its header must be formatted
    bool readOnly = false;  // opened for reading only; nothing is written back
};

// Only bits 0 and 4 of flags count: 0 create, 1 open or create, 16 open,
// 17 open read-only. Mode 1 looks the file up: absent selects creation, any
// other lookup failure gives 0x200C.
uint32_t ChooseOpenMode(uint32_t flags, const char* name, OpenMode* out);

// The gate's byte, far past the end of any database.
constexpr int64_t kGateOffset = int64_t(1) << 62;

// An open, locked database file.
struct DbFile {
    int fd = -1;
    OpenMode mode;
    uint32_t dataSize = 0;   // data-area bytes: initialSize when new, else file size - header
    uint64_t device = 0;     // of the file, which its journal names
    uint64_t inode = 0;
    uint32_t permissions = 0600;  // the file's, given to its journal
    char journal[PATH_MAX + sizeof fmt::kJournalSuffix] = {};  // "<name, links resolved>-journal"
};

// Opens `name` as `flags` says, locks it (waiting up to busyMs
// milliseconds), rolls back an unfinished change and works out the data
// size. Codes, in order: 0x200C (mode 1 lookup); 0x2000 when the file
// cannot be opened, is locked elsewhere (no wait asked for), is absent, not
// a regular file, or keeps being replaced; 32 when the wait ran out; the
// codes of a rollback (0x2000 range) and 33 when this process may not
// do it; 0x2006 / 0x2007 size failures; 29 for an existing file shorter
// than headerSize. Creation empties the file only once the lock is held. On
// failure nothing stays open.
uint32_t OpenDatabaseFile(const char* name, uint32_t flags, uint32_t initialSize,
                          uint32_t headerSize, uint32_t busyMs, DbFile* out);

// Closes the descriptor, dropping its locks.
void CloseDatabaseFile(DbFile* file);

}  // namespace tarn::os

#endif
