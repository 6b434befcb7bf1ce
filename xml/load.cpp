#include "xml/load.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "engine/tarn20.h"
#include "xml/lumxmlexception.h"
#include "xml/sax/drivertext.h"
#include "xml/sax/handlerorlo.h"
#include "xml/sax/inputsource.h"
#include "xml/sax/parse_ahead.h"

using LumXMLSAX::InputStreamByte;
using tarnxml_detail::LoadSource;
using Kind = LumXMLLoadError::Kind;

struct tarnxml_detail::LoadSource {
    enum class Type { File, Memory, Descriptor, Reader } type;
    std::string path;
    const unsigned char* bytes = nullptr;
    size_t size = 0;
    int fd = -1;
    LumXMLInput::Reader reader;
    uint64_t total = 0;
};

namespace {

constexpr size_t kReadBuffer = 64 * 1024;

[[noreturn]] void failInput(uint32_t code) {
    throw LumXMLLoadError(Kind::Input, LumErrorMessage(static_cast<int32_t>(code)),
                          static_cast<int>(code));
}

// Progress and cancelling, on the calling thread: told how far the parser
// has read, wherever it runs.
class Pacer {
public:
    Pacer(const LumXMLLoadOptions& options, uint64_t total)
        : _progress(options.progress), _interval(options.progressIntervalMs), _total(total),
          _caller(std::this_thread::get_id()) {}

    // Any thread: the parser read `n` more bytes; `end` once it read the last.
    void read(size_t n, bool end) {
        _done.fetch_add(n, std::memory_order_relaxed);
        if (end) _ended.store(true, std::memory_order_release);
        if (std::this_thread::get_id() == _caller) tick();
    }

    // The calling thread: tells the callback when it is time, and ends the
    // load when the callback says so.
    void tick() {
        if (!_progress || _toldEnd) return;
        const bool end = _ended.load(std::memory_order_acquire);
        const auto now = Clock::now();
        if (!end && _told && now - _last < _interval) return;
        _told = true;
        _toldEnd = end;
        _last = now;
        if (!_progress(_done.load(std::memory_order_relaxed), _total))
            throw LumXMLLoadError(Kind::Cancelled, "Load cancelled", 0);
    }

private:
    using Clock = std::chrono::steady_clock;
    const std::function<bool(uint64_t, uint64_t)>& _progress;
    const std::chrono::milliseconds _interval;
    const uint64_t _total;
    const std::thread::id _caller;
    std::atomic<uint64_t> _done{0};
    std::atomic<bool> _ended{false};
    bool _told = false;
    bool _toldEnd = false;
    Clock::time_point _last;
};

// The bytes of an input, counted for the pacer as they are read.
class CountedStream : public InputStreamByte {
public:
    CountedStream(std::unique_ptr<InputStreamByte> bytes, Pacer& pacer)
        : _bytes(std::move(bytes)), _pacer(pacer) {}
    bool eof() const override { return _bytes->eof(); }
    unsigned long read(unsigned char* buffer, unsigned long size) override {
        const unsigned long n = _bytes->read(buffer, size);
        _pacer.read(n, n == 0 || _bytes->eof());
        return n;
    }

private:
    std::unique_ptr<InputStreamByte> _bytes;
    Pacer& _pacer;
};

class MemoryStream : public InputStreamByte {
public:
    MemoryStream(const unsigned char* bytes, size_t size) : _at(bytes), _end(bytes + size) {}
    bool eof() const override { return _at == _end; }
    unsigned long read(unsigned char* buffer, unsigned long size) override {
        const size_t n = std::min<size_t>(size, size_t(_end - _at));
        if (n != 0) std::memcpy(buffer, _at, n);
        _at += n;
        return static_cast<unsigned long>(n);
    }

private:
    const unsigned char* _at;
    const unsigned char* _end;
};

// Bytes from a reader, through a buffer: the text driver asks for a few
// hundred at a time.
class ReaderStream : public InputStreamByte {
public:
    explicit ReaderStream(LumXMLInput::Reader reader)
        : _reader(std::move(reader)), _buffer(new unsigned char[kReadBuffer]) {}
    bool eof() const override { return _ended && _at == _filled; }
    unsigned long read(unsigned char* buffer, unsigned long size) override {
        if (_at == _filled && !_ended) _fill();
        const size_t n = std::min<size_t>(size, _filled - _at);
        if (n != 0) std::memcpy(buffer, _buffer.get() + _at, n);
        _at += n;
        return static_cast<unsigned long>(n);
    }

private:
    void _fill() {
        _at = _filled = 0;
        try {
            _filled = _reader(_buffer.get(), kReadBuffer);
        } catch (const LumXMLLoadError&) {
            throw;
        } catch (const std::exception& e) {
            throw LumXMLLoadError(Kind::Input, e.what(), LUM_ERR_READ_FILE);
        }
        if (_filled > kReadBuffer) _filled = kReadBuffer;
        _ended = _filled == 0;
    }

    LumXMLInput::Reader _reader;
    std::unique_ptr<unsigned char[]> _buffer;
    size_t _at = 0, _filled = 0;
    bool _ended = false;
};

LumXMLInput::Reader descriptorReader(int fd) {
    return [fd](unsigned char* buffer, size_t size) -> size_t {
        for (;;) {
            const ssize_t n = ::read(fd, buffer, size);
            if (n >= 0) return size_t(n);
            if (errno != EINTR) failInput(LUM_ERR_READ_FILE);
        }
    };
}

uint64_t totalOf(const LoadSource& in) {
    struct stat st;
    switch (in.type) {
    case LoadSource::Type::File:
        return stat(in.path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
    case LoadSource::Type::Memory: return in.size;
    case LoadSource::Type::Descriptor:
        return fstat(in.fd, &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
    case LoadSource::Type::Reader: return in.total;
    }
    return 0;
}

// Opened before the database is touched, so that an input that cannot be
// read leaves dbfile as it was.
std::unique_ptr<InputStreamByte> openInput(const LoadSource& in) {
    using Type = LoadSource::Type;
    try {
        switch (in.type) {
        case Type::File:
            return std::make_unique<LumXMLSAX::InputStreamByteFile>(
                reinterpret_cast<const unsigned char*>(in.path.c_str()));
        case Type::Memory: return std::make_unique<MemoryStream>(in.bytes, in.size);
        case Type::Descriptor: return std::make_unique<ReaderStream>(descriptorReader(in.fd));
        case Type::Reader: return std::make_unique<ReaderStream>(in.reader);
        }
    } catch (const LumXMLSAX::SAXCodedException& e) {
        throw LumXMLLoadError(Kind::Input, reinterpret_cast<const char*>(e.getMessage()), e.getCode());
    }
    failInput(LUM_ERR_CREATE_FILE);
}

// A source whose stream is open already; the driver takes it once.
class OpenedSource : public LumXMLSAX::InputSource {
public:
    explicit OpenedSource(std::unique_ptr<InputStreamByte> stream) : _stream(std::move(stream)) {}
    InputStreamByte* getByteStream() override { return _stream.release(); }

private:
    std::unique_ptr<InputStreamByte> _stream;
};

// The storing handler hears of the texts ahead of their events, so that
// the index looks up where they go many at a time.
class Announcer final : public tarnxml_detail::LookAhead {
public:
    explicit Announcer(LumXMLSAX::HandlerOrlo& handler) : _handler(handler) {}
    void text(Kind kind, const unsigned char* chars) override {
        switch (kind) {
        case Kind::AttributeName: _handler.expectAttributeName(chars); break;
        case Kind::AttributeValue: _handler.expectAttributeValue(chars); break;
        case Kind::Data: _handler.expectText(chars); break;
        }
    }

private:
    LumXMLSAX::HandlerOrlo& _handler;
};

const char* text(const unsigned char* message) {
    return message != nullptr ? reinterpret_cast<const char*>(message) : "";
}

bool isMemoryCode(int code) { return code == LUM_ERR_MALLOC || code == LUM_ERR_REALLOC; }

void parse(std::unique_ptr<InputStreamByte> stream, const char* dbfile,
           const LumXMLLoadOptions& options, Pacer& pacer) {
    using LumXMLSAX::HandlerOrlo;
    HandlerOrlo handler(dbfile, options.storing == LumXMLLoadOptions::Storing::InPlace
                                    ? HandlerOrlo::Storing::InPlace
                                    : HandlerOrlo::Storing::WholeOrNothing);
    handler.setMaxDatabaseBytes(options.maxDatabaseBytes);
    LumXMLSAX::DriverText driver;
    OpenedSource source(std::move(stream));
    if (!options.parseAhead) {
        tarnxml_detail::connect(driver, tarnxml_detail::HandlersOf(handler));
        driver.parse(source);
        return;
    }
    Announcer announcer(handler);
    tarnxml_detail::ParseAhead(driver, source, tarnxml_detail::HandlersOf(handler), &announcer,
                               [&pacer] { pacer.tick(); });
}

}  // namespace

LumXMLInput LumXMLInput::File(const char* path) {
    auto in = std::make_shared<LoadSource>();
    in->type = LoadSource::Type::File;
    in->path = path != nullptr ? path : "";
    return LumXMLInput(std::move(in));
}

LumXMLInput LumXMLInput::Memory(const void* bytes, size_t size) {
    auto in = std::make_shared<LoadSource>();
    in->type = LoadSource::Type::Memory;
    in->bytes = static_cast<const unsigned char*>(bytes);
    in->size = bytes != nullptr ? size : 0;
    return LumXMLInput(std::move(in));
}

LumXMLInput LumXMLInput::Descriptor(int fd) {
    auto in = std::make_shared<LoadSource>();
    in->type = LoadSource::Type::Descriptor;
    in->fd = fd;
    return LumXMLInput(std::move(in));
}

LumXMLInput LumXMLInput::Read(Reader reader, uint64_t total) {
    auto in = std::make_shared<LoadSource>();
    in->type = LoadSource::Type::Reader;
    in->reader = std::move(reader);
    in->total = total;
    return LumXMLInput(std::move(in));
}

LumXMLLoadError::LumXMLLoadError(Kind kind, const char* message, int code, int line, int column)
    : SAXException(message), _kind(kind), _code(code), _line(line), _column(column) {}

void LumXMLLoad(const LumXMLInput& input, const char* dbfile, const LumXMLLoadOptions& options) {
    const LoadSource& in = input.source();
    Pacer pacer(options, totalOf(in));
    // The handler is gone, and with it the database and its temporary file,
    // before any of these is thrown.
    try {
        parse(std::make_unique<CountedStream>(openInput(in), pacer), dbfile, options, pacer);
    } catch (const LumXMLLoadError&) {
        throw;
    } catch (const LumXMLSAX::SAXParseException& e) {
        throw LumXMLLoadError(Kind::Malformed, text(e.getMessage()), XMLERR_PARSE, e.getLineNumber(),
                              e.getColumnNumber());
    } catch (const LumXMLSAX::SAXCodedException& e) {
        const int code = e.getCode();
        throw LumXMLLoadError(isMemoryCode(code) ? Kind::Memory : Kind::Database, text(e.getMessage()),
                              code);
    } catch (const LumXMLSAX::SAXException& e) {
        throw LumXMLLoadError(Kind::Database, text(e.getMessage()), 0);
    } catch (const std::bad_alloc& e) {
        throw LumXMLLoadError(Kind::Memory, e.what(), LUM_ERR_MALLOC);
    }
}

void LumXMLRemoveTemporaryFiles() noexcept { LumXMLSAX::HandlerOrlo::removeTemporaryFiles(); }
