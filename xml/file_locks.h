// The XML layer's side of the engine's file locks, and the temporary files of
// a database built beside the one it replaces. Internal to the library.
//
// A replacement locks its target as an engine open for writing does (the
// protocol is the engine's, engine/storage/db_file.h: the gate byte, then an
// exclusive flock(), waiting up to a busy timeout), so that readers and
// writers of the database wait for it and it for them alike.
//
// Its temporary file "<target>.tmp.XXXXXX" (six letters or digits) is held
// from its creation until it is renamed or removed: an open-file-description
// lock on its first byte, which the engine's own locks of the file (its
// gate byte and flock()) do not disturb. A process killed outright leaves the file behind unheld, and the
// next load or write of the database removes it; a file of that name that a
// live process holds is left alone, and no other name is ever touched.
#ifndef TARNXML_FILE_LOCKS_H
#define TARNXML_FILE_LOCKS_H

#include <cerrno>
#include <string>

namespace tarnxml_detail {

// Keeps errno across cleanup that follows a failure.
class ErrnoKept {
public:
    ErrnoKept() : _saved(errno) {}
    ~ErrnoKept() { errno = _saved; }
    ErrnoKept(const ErrnoKept&) = delete;
    ErrnoKept& operator=(const ErrnoKept&) = delete;

private:
    int _saved;
};

constexpr char kTemporaryMark[] = ".tmp.";
constexpr int kTemporarySuffixLength = 6;

// Locks fd (a target opened for writing) exclusively, waiting up to
// busyMilliseconds. 0 done; else the engine's code, errno telling why:
// LUM_ERR_CREATE_FILE (held elsewhere with no wait asked for, held by this
// process as an input, or a failed call), LUM_ERR_BUSY (the wait ran out).
unsigned int LockExclusively(int fd, unsigned int busyMilliseconds);

// Takes a shared flock() on an input file open at fd, as a reader of it,
// and remembers it until ForgetInput: an exclusive lock this process then
// asks for on the same file fails at once, since no wait could get it.
// false, errno set, when the lock cannot be had.
bool LockInput(int fd);
void ForgetInput(int fd);

// Holds the temporary file open at fd against the sweep below; false (errno
// set) when another process holds it already. The hold ends with the
// descriptor.
bool HoldTemporary(int fd);

// Removes every "<target>.tmp.XXXXXX" beside target (links resolved by the
// caller) that no live process holds. Failures are passed over: a leftover
// only takes room. Keeps errno.
void RemoveLeftoverTemporaries(const std::string& target) noexcept;

}  // namespace tarnxml_detail

#endif
