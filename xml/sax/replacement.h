// A file built under a temporary name beside the one it replaces, and put
// in place whole or not at all: how the storing handler makes a failed load
// change nothing. Internal to the library.
//
// Lifecycle: constructed with the target's name (touches nothing) -> begin
// (locks an existing target against every other opener, waiting up to
// LumXMLDb::BusyTimeout(), removes the temporary files that killed loads
// left beside it, creates and holds the temporary file "<target>.tmp.XXXXXX",
// see xml/file_locks.h) -> the caller writes the temporary file and forces
// it to disk -> complete (renames it over the target, removes the replaced
// file's journal, syncs the directory, releases the lock). abandon, the
// destructor and the next begin remove a temporary file that was not
// completed and release the lock; the target is then exactly as it was.
// Only a process killed outright (SIGKILL, or a signal nobody handles)
// leaves a temporary file behind, unheld, for the next load or write of the
// database to remove; a signal handler may call removeAll before the
// process ends.
//
// A target that is a symbolic link is replaced where the link leads, so that
// the link stays. An existing target's permission bits (and owner, where the
// process may set it) pass to the new file; a new one is created as any file
// is (0666 narrowed by the umask).
#ifndef TARNXML_SAX_REPLACEMENT_H
#define TARNXML_SAX_REPLACEMENT_H

#include <string>

namespace tarnxml_detail {

class Replacement {
public:
    explicit Replacement(const char* target);
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // Throws LumXMLException: XMLERR_NO_DATABASE_NAME for an empty or null
    // target; 0x2000 ("CreateFile() failed", errno telling why) when an
    // existing target cannot be opened for writing, is not a regular file or
    // is locked by another opener (with no wait asked for), or when the
    // temporary file cannot be created; 32 (busy) when the wait for the lock
    // ran out. Nothing is then left behind.
    void begin();
    // The temporary file's name while begun; empty otherwise.
    const std::string& temporaryName() const { return _temporary; }
    // Renames the temporary file over the target. Throws 0x2000 when the
    // rename fails (the temporary file stays until abandoned). A failed sync
    // of the directory afterwards is not reported: the new file is in place
    // and whole, and only a crash right after could bring the old one back.
    void complete();
    // Removes the temporary file, if any, and releases the lock. Keeps errno.
    void abandon() noexcept;

    // Removes the temporary file of every replacement begun and not yet
    // completed in this process. Async-signal-safe.
    static void removeAll() noexcept;

private:
    std::string _target;     // as given
    std::string _resolved;   // where the new file goes: the target, links followed
    std::string _replacedJournal;  // the journal beside it, named before anything can fail
    std::string _temporary;  // empty unless begun
    int _lock = -1;          // the existing target, locked; -1 when there was none
    int _held = -1;          // the temporary file, held while it exists
    int _slot = -1;          // its entry in the table removeAll reads
};

}  // namespace tarnxml_detail

#endif
