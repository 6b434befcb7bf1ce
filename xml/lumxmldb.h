// LumXMLDb: the XML layer's handle on one database file.
//
// Lifecycle: closed (after construction or Close) -> open (after Create or
// Open) -> closed. Create and Open on an open object close it first. A name
// must be set before Create or Open; a new name takes effect at the next one.
//
// Copies share one open database: the engine handles live in a shared state
// that the copies and every lumxmlref made from them hold. An explicit Close
// on any copy closes it for all; otherwise it is closed when the last holder
// (copy or reference) goes. The file name is each copy's own.
//
// Every lumxmlref holding a cursor of the database must be destroyed (or
// Destroy called) before Close; Close throws 31 otherwise and stays open.
//
// Failures are thrown as LumXMLException with the engine's code. Operations
// that need an open database throw 2 ("Invalid database handle") on a closed
// one, except those that report through a bool result.
#ifndef TARNXML_LUMXMLDB_H
#define TARNXML_LUMXMLDB_H

#include <memory>
#include <string>
#include <vector>

#include "engine/tarn20.h"
#include "xml/export.h"

class lumxmlref;

namespace tarnxml_detail {

// The engine handles of one open database. Internal to the layer: shared by
// the copies of a LumXMLDb and the references made from them.
struct DbState {
    int inputEncoding = 2;
    int outputEncoding = 2;
    lumdb* database = nullptr;
    LumDbParams params{};
    lumdct* dictionary = nullptr;
    bool opened = false;
    // Opened by OpenReadOnly: nothing may be created.
    bool readOnly = false;
    lumxmldct* xmlDictionary = nullptr;
    lumcursor* unlinkedCursor = nullptr;
    int unlinkedType = 0;
    // Cursors owned by references; Close refuses while any is alive.
    unsigned long liveCursors = 0;
    // Tag names by user type number, filled as they are asked for: a walk
    // asks twice per element. A name stays where it is until the database
    // is closed.
    std::vector<std::unique_ptr<std::string>> tagNames;
    // User types of the tags asked for lately, by a hash of the name: a load
    // asks once per element, mostly for a few names. A slot of length 0 is
    // empty; names of kRecentTagBytes or more are not kept.
    static constexpr size_t kRecentTagBytes = 24;
    struct RecentTag {
        size_t length = 0;
        int usertype = 0;
        char name[kRecentTagBytes];
    };
    RecentTag recentTags[16];

    DbState() = default;
    DbState(const DbState&) = delete;
    DbState& operator=(const DbState&) = delete;
    // Releases whatever is still open, ignoring results.
    ~DbState();

    bool usable() const { return opened && xmlDictionary != nullptr; }
    // Destroys every handle that is set, in reverse order of opening;
    // results are ignored. opened becomes false.
    void release() noexcept;
    // The same, giving up what was written since the last commit
    // (LumDbAbandon) instead of committing it.
    void abandon() noexcept;
    void closeBy(uint32_t (*close)(lumdb*)) noexcept;
    // User type of tag (created when new); 0 for a null tag. Throws.
    int lookupTag(const unsigned char* tag);
    // User type of a tag the dictionary already has, created never; false
    // for an unknown or null tag. Throws other failures.
    bool findTag(const unsigned char* tag, int* usertype);
    // Name of a user type, whole; "" for a type without a name. Throws 14
    // for an unknown type.
    const std::string& tagName(int usertype);
};

}  // namespace tarnxml_detail

class TARNXML_API LumXMLDb {
public:
    // Closed, no name, sizeHint 64.
    LumXMLDb();
    // Closed, with the name set (see SetDatabaseName). sizeHint is kept only.
    explicit LumXMLDb(const char* name, unsigned int sizeHint = 64);
    LumXMLDb(const LumXMLDb& other);
    LumXMLDb& operator=(const LumXMLDb& other);
    // Drops this holder's share; the last holder closes the database.
    ~LumXMLDb();

    // Keeps a malloc copy of name for the next Create or Open; a null name
    // clears it.
    void SetDatabaseName(const char* name);
    void SetDatabaseName(const unsigned char* name);

    // Create: a new database file (replacing any of that name), opened.
    // Open: an existing database file, for reading and writing; it also
    // removes the temporary files that loads killed outright left beside it
    // (see xml/sax/replacement.h), those no live process holds.
    // Both make sure the unlinked chain exists. Throws XMLERR_NO_DATABASE_NAME
    // without a name, else the engine's code; on any failure everything
    // opened is released again and the object is closed.
    void Create();
    void Open();
    // An existing database file, for reading only: the file is opened
    // read-only and nothing is ever written to it, not even on Close. What
    // would write is refused with the engine's code 3 (getUsertype of a tag
    // the dictionary lacks, createUnlinkedXMLref, GetDocumentRootNode on a
    // database without a document chain, every write of a reference).
    // Nothing is created on opening either: a file without an unlinked chain
    // keeps having none. Failures as for Open.
    void OpenReadOnly();
    // How long every later Create, Open or OpenReadOnly of this process (and
    // the storing handler's replacement of a file) waits for a database file
    // that other processes hold: while one writes, no other opens it; while
    // any read, none writes. 0, the default, waits not at all: the engine's
    // 0x2000 "CreateFile() failed" at once. After a wait that ran out the
    // open throws 32, whose message says the database is busy. Set it before
    // the opens it is for; reading and setting it from several threads is
    // safe, but an open in flight may see either value.
    static void SetBusyTimeout(unsigned int milliseconds);
    static unsigned int BusyTimeout();

    // The largest size in bytes a database file of a later Create or Open
    // may grow to (LumDbParams.spare2): a growth beyond it fails as one
    // beyond the format's 4 GiB does, with 0x2007. 0, the default, leaves
    // the format's limit.
    void SetMaxFileBytes(uint32_t bytes) { maxFileBytes = bytes; }
    // Closes what Create or Open opened; nothing when closed. Throws 31 while
    // references hold cursors (the object stays open).
    void Close();
    // Closes without committing: what was written since the last commit is
    // given up and not written out (LumDbAbandon), for a caller that
    // discards the file or keeps it as last committed. Nothing when closed.
    // Throws 31 while references hold cursors (the object stays open).
    void Abandon();
    bool isOpened() const;

    // User type of tag, created in the dictionary when new; 0 for a null tag
    // (nothing created). User types from 32768 up come back negative.
    int getUsertype(const unsigned char* tag);
    // User type of tag into *usertype (as getUsertype gives it; usertype
    // may be null) when the dictionary has the tag; false, *usertype
    // untouched, for an unknown or null tag. Never creates anything. Throws
    // 2 on a closed database, the engine's code when the dictionary cannot
    // be read.
    bool lookupUsertype(const unsigned char* tag, int* usertype);
    // Writes the tag name of usertype into buffer (at most size bytes, NUL
    // included; an empty string when it does not fit) and its strlen to
    // *length. Throws 14 for an unknown type.
    void getUsertypeName(int usertype, void* buffer, unsigned long size, unsigned long* length);

    // rootTag null: positions ref on the first document pointer (130) of the
    // document chain. rootTag set: appends a new document pointer at the end
    // of the document chain and positions ref on the new root chain's start
    // field (user type of rootTag). A database without a document chain gets
    // one first. Throws 29 when the database holds more than one.
    void GetDocumentRootNode(const unsigned char* rootTag, lumxmlref* ref);
    // Gives ref a new cursor (no current record) on this database; a closed
    // database gives ref no cursor.
    void createXMLref(lumxmlref* ref);
    // A new element chain of tag ("<?unknown?>" for null) under the unlinked
    // chain; ref stands on its start field.
    void createUnlinkedXMLref(const unsigned char* tag, lumxmlref* ref);
    // Whether the database holds its document chain, found without creating
    // it (GetDocumentRootNode would create one). Throws 29 for two of them.
    bool HasDocumentChain();
    // Finds a character-data field of an element named tag whose text equals
    // value (attribute names and values of the same text are passed over);
    // true with ref on the first match, false (ref untouched) when
    // there is none (a tag the dictionary lacks among them: nothing is
    // created) or the database is closed. A failure of the search itself
    // is thrown as LumXMLException. context is not used.
    bool GetElementPCDATAUnique(const unsigned char* context, const unsigned char* tag,
                                const unsigned char* value, lumxmlref* ref);
    // Destroys the cursor kept on the unlinked chain (Close calls it).
    void DestroyUnlinkedTagchain();
    // Does nothing and allocates nothing; kept for interface compatibility.
    void GotoNamedDocumentStart(const unsigned char* name);

    // The engine database handle while open, else null. Owned by this object.
    lumdb* getDatabaseHandle() const;
    // The name set, or null.
    const char* getDatabaseName() const { return databaseName; }
    unsigned int getSizeHint() const { return sizeHint; }
    // Encodings of strings handed to and fetched from the engine (2 once
    // Create or Open ran).
    int getInputEncoding() const;
    int getOutputEncoding() const;

private:
    friend class lumxmlref;

    void _open(uint32_t flags);
    void CreateUnlinkedTagchain();
    tarnxml_detail::DbState& _requireOpen() const;

    std::shared_ptr<tarnxml_detail::DbState> _state;
    char* databaseName;
    unsigned int sizeHint;
    uint32_t maxFileBytes = 0;
};

#endif
