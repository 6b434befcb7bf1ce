#include "xml/sax/inputsource.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "engine/tarn20.h"
#include "xml/file_locks.h"
#include "xml/sax/saxexception.h"

namespace LumXMLSAX {

// One input file, mapped read-only as a whole.
struct MappedFile {
    int fd = -1;
    bool locked = false;  // remembered as an input (xml/file_locks.h)
    bool mapped = false;  // false for an empty file: data is then kEmpty
    const unsigned char* data = nullptr;
    uint32_t size = 0;
};

namespace {

constexpr off_t kMaxSize = 0xFFFFFFFF;

const unsigned char kEmpty[1] = {0};

// Fails a partly opened file: releases it and leaves errno as the failing
// call set it, since the engine composes the message from errno.
uint32_t fail(MappedFile* file, uint32_t code, int savedErrno) {
    if (file->locked) tarnxml_detail::ForgetInput(file->fd);
    if (file->fd >= 0) close(file->fd);  // also drops the lock
    delete file;
    errno = savedErrno;
    return code;
}

// Opens for reading and takes a shared lock, so that a writer holding the
// file exclusively (a database being created on it) and this reader exclude
// each other. O_NONBLOCK keeps a FIFO from blocking the open.
uint32_t openLocked(const char* name, MappedFile* file) {
    file->fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file->fd < 0) return LUM_ERR_CREATE_FILE;
    if (!tarnxml_detail::LockInput(file->fd)) return LUM_ERR_CREATE_FILE;
    file->locked = true;
    return 0;
}

uint32_t mapWhole(MappedFile* file, const struct stat& st) {
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        return S_ISDIR(st.st_mode) ? LUM_ERR_CREATE_FILE : LUM_ERR_CREATE_MAPPING;
    }
    if (st.st_size > kMaxSize) {
        errno = EFBIG;
        return LUM_ERR_FILE_TOO_LARGE;
    }
    file->size = static_cast<uint32_t>(st.st_size);
    if (file->size == 0) {
        file->data = kEmpty;
        return 0;
    }
    void* view = mmap(nullptr, file->size, PROT_READ, MAP_PRIVATE, file->fd, 0);
    if (view == MAP_FAILED) return LUM_ERR_MAP_VIEW;
    madvise(view, file->size, MADV_SEQUENTIAL);
    file->data = static_cast<const unsigned char*>(view);
    file->mapped = true;
    return 0;
}

// Gives the whole file `name` mapped read-only, or an engine code with
// errno describing the failure. Nothing stays open on failure.
uint32_t openMappedFile(const char* name, MappedFile** out) {
    MappedFile* file = new (std::nothrow) MappedFile;
    if (file == nullptr) {
        errno = ENOMEM;
        return LUM_ERR_MALLOC;
    }
    if (openLocked(name, file) != 0) return fail(file, LUM_ERR_CREATE_FILE, errno);
    struct stat st;
    if (fstat(file->fd, &st) != 0) return fail(file, LUM_ERR_FILE_SIZE, errno);
    uint32_t code = mapWhole(file, st);
    if (code != 0) return fail(file, code, errno);
    *out = file;
    return 0;
}

void closeMappedFile(MappedFile* file) {
    if (file->mapped) munmap(const_cast<unsigned char*>(file->data), file->size);
    tarnxml_detail::ForgetInput(file->fd);
    close(file->fd);
    delete file;
}

}  // namespace

bool InputStreamByte::eof() const { return true; }

unsigned long InputStreamByte::read(unsigned char*, unsigned long) { return 0; }

InputStreamByte::~InputStreamByte() = default;

InputStreamByteFile::InputStreamByteFile(const unsigned char* fileName)
    : _file(nullptr), _position(0) {
    const char* name = fileName ? reinterpret_cast<const char*>(fileName) : "";
    uint32_t code = openMappedFile(name, &_file);
    if (code != 0)
        throw SAXCodedException(LumErrorMessage(static_cast<int32_t>(code)), static_cast<int>(code));
}

InputStreamByteFile::~InputStreamByteFile() { closeMappedFile(_file); }

bool InputStreamByteFile::eof() const { return _position == _file->size; }

unsigned long InputStreamByteFile::read(unsigned char* buffer, unsigned long size) {
    unsigned long left = _file->size - _position;
    unsigned long count = size < left ? size : left;
    if (count == 0) return 0;
    std::memcpy(buffer, _file->data + _position, count);
    _position += static_cast<uint32_t>(count);
    return count;
}

InputSource::InputSource() = default;

InputSource::InputSource(const unsigned char* systemId) : _systemId(systemId) {}

InputSource::InputSource(const char* systemId) : _systemId(systemId) {}

InputSource::~InputSource() = default;

InputStreamByte* InputSource::getByteStream() { return nullptr; }

const unsigned char* InputSource::getEncoding() const { return _encoding.ptr(); }

const unsigned char* InputSource::getPublicId() const { return _publicId.ptr(); }

const unsigned char* InputSource::getSystemId() const { return _systemId.ptr(); }

void InputSource::setEncoding(const unsigned char* encoding) { _encoding.set(encoding); }

void InputSource::setPublicId(const unsigned char* publicId) { _publicId.set(publicId); }

void InputSource::setSystemId(const unsigned char* systemId) { _systemId.set(systemId); }

InputSourceURI::InputSourceURI() = default;

InputSourceURI::InputSourceURI(const unsigned char* systemId) : InputSource(systemId) {}

InputStreamByte* InputSourceURI::getByteStream() {
    return new InputStreamByteFile(getSystemId());
}

}  // namespace LumXMLSAX
