// Commits that land whole or not at all, and the rollback that undoes an
// unfinished one (journal layout in engine/storage/format.h).
//
// A commit of an existing database file runs in this order, and reports
// success only after its last step:
//   1. the journal: header and the committed bytes of every page the change
//      overwrites, written, synced, and its folder synced (its name is then
//      durable too);
//   2. the database: the changed pages and the grown tail written, synced;
//   3. the journal invalidated: removed and its folder synced, or, when it
//      cannot be removed, its header zeroed and synced.
// Nothing reaches the database before step 1 is durable, so a crash, a kill
// or a power cut at any point leaves either no journal that applies (the
// database untouched, or the change whole) or a whole journal that puts back
// every byte the change could have overwritten and the committed size.
// Applying a journal twice, or to a file it did not change yet, leaves the
// committed bytes: a rollback that is cut short is simply run again.
//
// A new file's first commit (nothing committed before) writes the file
// whole and syncs it, with no journal: there is nothing to go back to, and
// the layer that creates such a file puts it in place by a rename.
//
// All calls go through os::Sys(). Codes are those of the failing step
// (0x2000 range, 0x1000 for the buffer), errno telling why.
#ifndef TARN_STORAGE_JOURNAL_H
#define TARN_STORAGE_JOURNAL_H

#include <cstddef>
#include <cstdint>

#include "engine/storage/db_file.h"
#include "engine/storage/store.h"

namespace tarn::journal {

// The database a journal must name to apply to it.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;  // its size now
};

// One commit: what changed since the last one, and where its bytes lie.
struct Change {
    int fd = -1;                   // the database, open for writing
    const char* journal = nullptr; // its journal's name
    uint32_t mode = 0600;          // permission bits of a new journal
    FileIdentity file;             // size: as committed
    uint64_t sizeAfter = 0;        // header plus data area now
    const AreaView* view = nullptr;  // the bytes, and the dirty pages below view->trackedEnd
};

// Writes the change in the order above. On failure *broken tells whether
// the file may be left changed: false when it is exactly as committed
// (nothing written, or rolled back at once); true when the rollback failed
// too, and the next open (which rolls back first) must put it right.
uint32_t Commit(const Change& change, bool* broken);

// What a driver keeps between its commits.
struct CommitState {
    uint64_t committed = 0;   // file bytes as of the last commit; 0 for a new file
    uint32_t brokenCode = 0;  // a commit that could not be undone: every later one fails so
};

// The commit of a driver that keeps the file's areas in `view`: the change
// since `state` written by Commit to `file`, then the marks cleared and
// kept from the new size on. A failure that may have left the file changed
// makes this and every later call of the session fail with its code: the
// next open puts the file right.
uint32_t CommitView(const os::DbFile& file, AreaView* view, CommitState* state);

// Whether `journal` is a whole journal of `file` (see format.h): *hot is
// set either way on success. An absent, invalidated, torn, damaged or
// foreign journal is not hot. Codes: 0x2000 when it exists but cannot be
// opened, 0x2004 / 0x2006 when it cannot be read, 0x1000.
uint32_t Inspect(const char* journal, const FileIdentity& file, bool* hot);

// Applies a hot journal to the database open for writing at fd: every page
// written back, the size restored, the file synced, the journal
// invalidated. A journal that is not hot (Inspect) is left alone and gives
// 0x2004 with errno ENOENT. Codes of the failing step otherwise.
uint32_t RollBack(int fd, const char* journal, const FileIdentity& file);

// Whether this process may invalidate `journal`: overwrite it, or remove
// it from its folder.
bool CanInvalidate(const char* journal);

// Removes a journal unseen, for a database that is made anew: 0 when there
// was none or it is gone and the folder synced.
uint32_t Discard(const char* journal);

// The checksum of the journal's header and records: any one changed byte
// changes it.
uint64_t Checksum(uint64_t seed, const uint8_t* bytes, size_t length);

}  // namespace tarn::journal

#endif
