// Loading XML text into a database: what xmlload does, as one call.
//
//     LumXMLLoad(LumXMLInput::File("catalog.xml"), "catalog.db");
//
// The text is parsed by expat, as DriverText parses it, and stored by the
// storing handler (HandlerOrlo) as the one document of a new database
// `dbfile`: the bytes are those xmlload writes. What the call adds to wiring
// the two by hand is speed and safety:
//  - Whole or nothing (LumXMLLoadOptions::Storing::WholeOrNothing, the
//    default). The database is built under a temporary name beside dbfile
//    ("<dbfile>.tmp." and six letters or digits) and takes dbfile's name only
//    once it is complete and on disk. Any failure, a cancel included, leaves
//    dbfile exactly as it was (or absent) and no temporary file, and stops
//    at once: what was stored is given up unwritten (LumDbAbandon), so a load
//    that fails at the size limit of a database writes nothing more (a load
//    stopped at a limit of 8 MiB, maxDatabaseBytes, writes less than 64 KiB
//    and ends sooner than the complete load: tests/xml/load_test.cpp).
//  - Two threads (parseAhead, the default): expat runs on a second thread
//    while the calling thread stores, and the texts of the next few hundred
//    events are announced to the value index before they are stored
//    (LumCursorExpectValue), so that it looks up where they go many at a
//    time. On two cores a load takes about half the time of one thread.
//
// Threads. With parseAhead the call starts one thread, which runs the
// parser and records its events into blocks; the calling thread replays
// them to the storing handler and calls the progress callback. The thread
// is joined before the call returns or throws, however the load ends. When
// no thread can be started the load runs on the calling thread alone, with
// the same result. Separate loads may run at once on separate threads, into
// separate databases; an existing dbfile is locked for the whole load, so
// two loads into one dbfile exclude each other.
//
// Memory, besides the engine's for the database being written (see
// engine/tarn20.h) and the input (a file is mapped whole, memory read where
// it lies, a descriptor or reader through a 64 KiB buffer): with
// parseAhead, the queue between the threads, at most 8 blocks of about
// 64 KiB each beyond any single event larger than that (a start tag with
// its attributes, or one run of text).
//
// Failures are thrown as LumXMLLoadError, whatever thread met them:
//  - Malformed: the text is not well-formed XML (expat's message, line and
//    column);
//  - Input: the input cannot be opened or read (the code names the step:
//    0x2000 open, 0x2004 read, ...);
//  - Database: the database cannot be written (the engine's code: a full
//    disk, the 4 GiB limit of a database, a dbfile held by another
//    process, ...);
//  - Cancelled: the progress callback returned false;
//  - Memory: memory ran out (0x1000), the parse queue's included.
// An exception of the parser's thread reaches the caller once the events
// before it have been stored; one of the calling thread (the storing or the
// callback) stops the parser at its next block. Either way the second
// thread has ended, the database has been given up and the temporary file
// removed before the error is thrown.
//
// Signals: the library installs no signal handler. A program that ends on
// a signal during a load calls LumXMLRemoveTemporaryFiles() from its
// handler (async-signal-safe) before it ends, as xmlload does; otherwise
// the temporary file of the load stays behind.
//
// When to wire a driver to a handler by hand instead: for a handler of
// your own (DriverText with any DocumentHandler), to write XML text
// (HandlerDump), or to replay a stored document (DriverOrlo). Storing XML
// text into a database is this call.
#ifndef TARNXML_LOAD_H
#define TARNXML_LOAD_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "xml/export.h"
#include "xml/sax/saxexception.h"

namespace tarnxml_detail {
struct LoadSource;
}

// What a load reads. A value: copies share what they read (a reader is
// called by one load at a time).
class TARNXML_API LumXMLInput {
public:
    // Copies at most `size` bytes into `buffer` and returns how many; 0 only
    // at the end. What it throws fails the load as an Input error (a
    // LumXMLLoadError passes as it is). Called on the parser's thread.
    using Reader = std::function<size_t(unsigned char* buffer, size_t size)>;

    // The file at `path`, mapped whole and locked shared for the load (so it
    // cannot be a database being written). Opened when the load starts.
    static LumXMLInput File(const char* path);
    // `size` bytes at `bytes`, which must stay as they are until the load
    // returns.
    static LumXMLInput Memory(const void* bytes, size_t size);
    // A descriptor read to its end (0 for standard input); not closed. Its
    // size, for progress, when it is a regular file.
    static LumXMLInput Descriptor(int fd);
    // A caller's reader; `total` is the size told to progress (0: unknown).
    static LumXMLInput Read(Reader reader, uint64_t total = 0);

    const tarnxml_detail::LoadSource& source() const { return *_source; }

private:
    explicit LumXMLInput(std::shared_ptr<const tarnxml_detail::LoadSource> source)
        : _source(std::move(source)) {}
    std::shared_ptr<const tarnxml_detail::LoadSource> _source;
};

struct LumXMLLoadOptions {
    enum class Storing {
        // A temporary file renamed over dbfile once complete (see above).
        WholeOrNothing,
        // Straight into dbfile, replaced at the start; a failure leaves what
        // was stored before it, a database that opens. Needs no room for a
        // second copy of the database.
        InPlace
    };
    Storing storing = Storing::WholeOrNothing;
    // Parse on a second thread (see above); false: on the calling thread.
    bool parseAhead = true;
    // Bytes read of the total (0 when unknown), on the calling thread: at
    // most once per progressIntervalMs, and once when every byte has been
    // read, before the database is finished. Returning false cancels the
    // load, which then fails as Cancelled. What it throws fails the load and
    // is thrown as it is (a LumXMLLoadError, or any exception of its own).
    std::function<bool(uint64_t done, uint64_t total)> progress;
    unsigned progressIntervalMs = 100;
    // The largest size in bytes the database file may reach; 0 is the
    // format's own limit of 4 GiB. A load that would go beyond it fails as
    // one at the 4 GiB limit does: Database, code 0x2007, and nothing left
    // (for tests of that failure, and for callers that cap their files).
    uint32_t maxDatabaseBytes = 0;
};

class TARNXML_API LumXMLLoadError : public LumXMLSAX::SAXException {
public:
    enum class Kind { Malformed, Input, Database, Cancelled, Memory };

    // The message is the one xmlload prints after "Error reading XML file
    // NAME: ". code: an engine result code (engine/tarn20.h) or one of
    // lumret (xml/lumxmlexception.h), 0 when none applies; line from 1 and
    // column from 0 for Malformed, else 0.
    LumXMLLoadError(Kind kind, const char* message, int code, int line = 0, int column = 0);

    Kind getKind() const { return _kind; }
    int getCode() const { return _code; }
    int getLineNumber() const { return _line; }
    int getColumnNumber() const { return _column; }

private:
    Kind _kind;
    int _code;
    int _line;
    int _column;
};

// Stores the XML text of `input` as a new database `dbfile`, as described
// above. Throws LumXMLLoadError; a progress callback's own exception passes
// as it is.
TARNXML_API void LumXMLLoad(const LumXMLInput& input, const char* dbfile,
                            const LumXMLLoadOptions& options = {});

// Removes the temporary file of every whole-or-nothing load of this process
// that has not finished. Async-signal-safe: for a signal handler that then
// ends the process.
TARNXML_API void LumXMLRemoveTemporaryFiles() noexcept;

#endif
