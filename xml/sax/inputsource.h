// What a driver is told to read: an input source names the document, its
// byte stream delivers the bytes.
#ifndef TARNXML_SAX_INPUTSOURCE_H
#define TARNXML_SAX_INPUTSOURCE_H

#include <cstdint>

#include "xml/export.h"
#include "xml/xmlstring.h"

namespace LumXMLSAX {

// A one-pass stream of bytes. The base stream is empty.
class TARNXML_API InputStreamByte {
public:
    // True when no byte is left.
    virtual bool eof() const;
    // Copies at most size bytes into buffer and returns how many were copied;
    // 0 at the end. Never fails.
    virtual unsigned long read(unsigned char* buffer, unsigned long size);
    // Destroying through this interface releases what the stream holds.
    virtual ~InputStreamByte();
};

struct MappedFile;

// The bytes of one file, mapped read-only as a whole for the life of the
// stream and locked shared against writers that lock (the database takes an
// exclusive lock, so a file cannot be loaded into itself).
class TARNXML_API InputStreamByteFile : public InputStreamByte {
public:
    // Throws SAXException with the engine's text for the failing step:
    // "CreateFile() failed" (cannot open or lock), "GetFileSize() failed",
    // "GetFileSize(): File size exceeds 4 GB", "CreateFileMapping() failed",
    // "MapViewOfFile() failed", "malloc() failed".
    explicit InputStreamByteFile(const unsigned char* fileName);
    ~InputStreamByteFile() override;
    InputStreamByteFile(const InputStreamByteFile&) = delete;
    InputStreamByteFile& operator=(const InputStreamByteFile&) = delete;

    bool eof() const override;
    unsigned long read(unsigned char* buffer, unsigned long size) override;

private:
    MappedFile* _file;
    uint32_t _position;
};

// Names a document by its identifiers. Getters return null for an empty
// identifier; setters keep a copy and null empties. Nothing in this library
// reads the encoding or the public identifier.
class TARNXML_API InputSource {
public:
    InputSource();
    explicit InputSource(const unsigned char* systemId);
    explicit InputSource(const char* systemId);
    virtual ~InputSource();

    // A new stream owned by the caller, or null when the source has none (as
    // the plain source never has).
    virtual InputStreamByte* getByteStream();

    const unsigned char* getEncoding() const;
    const unsigned char* getPublicId() const;
    const unsigned char* getSystemId() const;
    void setEncoding(const unsigned char* encoding);
    void setPublicId(const unsigned char* publicId);
    void setSystemId(const unsigned char* systemId);

private:
    XMLString _encoding;
    XMLString _publicId;
    XMLString _systemId;
};

// A source whose system identifier is a file name.
class TARNXML_API InputSourceURI : public InputSource {
public:
    InputSourceURI();
    explicit InputSourceURI(const unsigned char* systemId);

    // A new InputStreamByteFile on the system identifier, owned by the
    // caller. Throws the stream constructor's SAXException when the file
    // cannot be opened.
    InputStreamByte* getByteStream() override;
};

}  // namespace LumXMLSAX

#endif
