#include "xml/sax/parse_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "xml/sax/saxexception.h"

namespace tarnxml_detail {
namespace {

using LumXMLSAX::AttributeList;
using LumXMLSAX::Locator;
using LumXMLSAX::SAXParseException;

enum class Op : uint8_t {
    StartDocument,
    EndDocument,
    StartElement,
    EndElement,
    Characters,
    Whitespace,
    Instruction,
    Notation,
    UnparsedEntity,
    Warning,
    Error,
    FatalError,
};

// The bytes of a block: appended to by plain copies, one check for room per
// piece, as a vector's insert costs several times the copy itself here.
class Bytes {
public:
    const unsigned char* data() const { return _data.get(); }
    unsigned char* data() { return _data.get(); }
    size_t size() const { return _size; }
    bool empty() const { return _size == 0; }
    void clear() { _size = 0; }
    void dropLast() { --_size; }
    // n bytes at the end, for the caller to fill.
    unsigned char* append(size_t n) {
        if (n > _capacity - _size) _grow(n);
        unsigned char* at = _data.get() + _size;
        _size += n;
        return at;
    }

private:
    void _grow(size_t n) {
        const size_t capacity = std::max({kBlockBytes + kBlockBytes / 4, 2 * _capacity, _size + n});
        std::unique_ptr<unsigned char[]> data(new unsigned char[capacity]);
        if (_size != 0) std::memcpy(data.get(), _data.get(), _size);
        _data = std::move(data);
        _capacity = capacity;
    }

    std::unique_ptr<unsigned char[]> _data;
    size_t _size = 0;
    size_t _capacity = 0;
};

// A text to tell ahead: where its bytes lie in its block.
struct Told {
    size_t at;
    LookAhead::Kind kind;
};

// Recorded events, in the machine's own layout: an Op byte, then its
// arguments. A string is a length word (kNull for a null pointer) and its
// bytes with their terminator, a run of character data likewise; problems
// are kept aside as objects, the texts to tell ahead in a list of their own.
// A problem kept in a type of this file only, so that the vector's code is
// not exported with the library's classes.
struct Problem {
    SAXParseException exception;
};

struct Block {
    Bytes bytes;
    std::vector<Problem> problems;
    std::vector<Told> told;
};

// Texts told lately, by a fingerprint of their length and first and last
// bytes. A text stored again soon after is one the index has just seen and
// finds again without looking ahead (by its tree's latest path, or its own),
// so telling it would only cost. Texts that share a fingerprint leave one of
// them untold, which costs nothing else.
class RecentTexts {
public:
    // Whether the text was told lately; it counts as told from now on.
    bool seen(const unsigned char* text, uint32_t length) {
        uint64_t head = 0, tail = 0;
        std::memcpy(&head, text, std::min<uint32_t>(length, 8));
        if (length > 8) std::memcpy(&tail, text + length - 8, 8);
        const uint64_t print = (head ^ (tail * 0x9E3779B97F4A7C15ull) ^ length) * 0xBF58476D1CE4E5B9ull;
        uint64_t& slot = _prints[print >> (64 - kBits)];
        const bool was = slot == print;
        slot = print;
        return was;
    }

private:
    static constexpr int kBits = 9;
    uint64_t _prints[1u << kBits] = {};
};



constexpr uint32_t kNull = 0xFFFFFFFFu;

// Blocks from the parser's thread to the handlers' thread. Each side is
// woken only when the other may go on: the reader when a block arrives in an
// empty queue, a parser that found the queue full once it is half empty, so
// that waking costs once per few blocks rather than once per block.
class Channel {
public:
    // Parser side. A recycled block when there is one.
    std::unique_ptr<Block> spare() {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_spare.empty()) return std::make_unique<Block>();
        std::unique_ptr<Block> b = std::move(_spare.back());
        _spare.pop_back();
        return b;
    }
    // Waits for room; false when the reader has stopped.
    bool hand(std::unique_ptr<Block> block) {
        std::unique_lock<std::mutex> lock(_mutex);
        if (_full.size() >= kQueueDepth)
            _room.wait(lock, [this] { return _stopped || _full.size() <= kQueueDepth / 2; });
        if (_stopped) return false;
        _full.push_back(std::move(block));
        if (_full.size() == 1) _ready.notify_one();
        return true;
    }
    // Waits until the reader has replayed every block handed over, or stopped.
    void waitDrained() {
        std::unique_lock<std::mutex> lock(_mutex);
        _room.wait(lock, [this] { return _stopped || (_full.empty() && !_replaying); });
    }
    void finish(std::exception_ptr failure) {
        std::lock_guard<std::mutex> lock(_mutex);
        _failure = std::move(failure);
        _finished = true;
        _ready.notify_one();
    }

    // Reader side. Gives back the block just replayed (if any) and takes the
    // next one; null once the parser has finished.
    std::unique_ptr<Block> next(std::unique_ptr<Block> done) {
        if (done != nullptr) {
            done->bytes.clear();
            done->problems.clear();
            done->told.clear();
        }
        std::unique_lock<std::mutex> lock(_mutex);
        if (done != nullptr && _spare.size() < kQueueDepth) _spare.push_back(std::move(done));
        _replaying = false;
        if (_full.empty()) _room.notify_one();  // drained
        _ready.wait(lock, [this] { return _finished || !_full.empty(); });
        if (_full.empty()) return nullptr;
        std::unique_ptr<Block> b = std::move(_full.front());
        _full.pop_front();
        _replaying = true;
        if (_full.size() <= kQueueDepth / 2) _room.notify_one();
        return b;
    }
    void stop() {
        std::lock_guard<std::mutex> lock(_mutex);
        _stopped = true;
        _room.notify_all();
        _ready.notify_all();
    }
    std::exception_ptr failure() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _failure;
    }

private:
    std::mutex _mutex;
    std::condition_variable _room;   // the parser waits here
    std::condition_variable _ready;  // the reader waits here
    std::deque<std::unique_ptr<Block>> _full;
    std::vector<std::unique_ptr<Block>> _spare;
    std::exception_ptr _failure;
    bool _finished = false;
    bool _stopped = false;
    bool _replaying = false;  // the reader holds a block
};

// Thrown into the parser when the reader has given up.
struct Stopped {};

// The handlers the parser sees: each event is written to the current block.
class Recorder final : public LumXMLSAX::DocumentHandler,
                       public LumXMLSAX::ErrorHandler,
                       public LumXMLSAX::DTDHandler {
public:
    explicit Recorder(Channel& channel) : _channel(channel), _block(channel.spare()) {}

    void startDocument() override { _event(Op::StartDocument); }
    // Returns once the handlers have seen the end: until then the parser
    // keeps its input open (and locked), as a plain parse would.
    void endDocument() override {
        _op(Op::EndDocument);
        _handOver();
        _channel.waitDrained();
    }
    void startElement(const unsigned char* name, const AttributeList& attributes) override {
        _op(Op::StartElement);
        _string(name);
        const unsigned int count = attributes.getLength();
        _word(count);
        for (unsigned int i = 0; i < count; ++i) {
            _string(attributes.getName(i), LookAhead::Kind::AttributeName);
            _string(attributes.getType(i));
            _string(attributes.getValue(i), LookAhead::Kind::AttributeValue);
        }
        _done();
    }
    void endElement(const unsigned char* name) override { _event(Op::EndElement, name); }
    // Runs that follow each other in one block are joined, so that the
    // handler's thread makes one call for them.
    void characters(const unsigned char* chars, unsigned int start, unsigned int length) override {
        if (_textAt == kNoText || length > UINT32_MAX - _textLength) {
            _run(Op::Characters, chars + start, length);
            return;
        }
        _textLength += length;
        std::memcpy(_block->bytes.data() + _textAt, &_textLength, sizeof _textLength);
        _block->bytes.dropLast();  // the terminator goes after the joined run
        _terminated(chars + start, length);
        _done();
    }
    void ignorableWhitespace(const unsigned char* chars, unsigned int start,
                             unsigned int length) override {
        _run(Op::Whitespace, chars + start, length);
    }
    void processingInstruction(const unsigned char* target, const unsigned char* data) override {
        _event(Op::Instruction, target, data);
    }
    void setDocumentLocator(const Locator*) override {}

    void notationDecl(const unsigned char* name, const unsigned char* publicId,
                      const unsigned char* systemId) override {
        _event(Op::Notation, name, publicId, systemId);
    }
    void unparsedEntityDecl(const unsigned char* name, const unsigned char* publicId,
                            const unsigned char* systemId,
                            const unsigned char* notationName) override {
        _event(Op::UnparsedEntity, name, publicId, systemId, notationName);
    }

    void warning(const SAXParseException& e) override { _problem(Op::Warning, e); }
    void error(const SAXParseException& e) override { _problem(Op::Error, e); }
    void fatalError(const SAXParseException& e) override { _problem(Op::FatalError, e); }

    // The parse is over: hands over what is left. Runs last on the parser's
    // thread, so nothing may escape it.
    void end(std::exception_ptr failure) noexcept {
        try {
            _endText();
            if (!_block->bytes.empty()) _channel.hand(std::move(_block));
        } catch (...) {  // the queue could not grow: what was left is lost, and said so
            if (!failure) failure = std::current_exception();
        }
        _channel.finish(std::move(failure));
    }

private:
    void _put(const void* p, size_t n) {
        if (n != 0) std::memcpy(_block->bytes.append(n), p, n);
    }
    void _op(Op op) {
        _endText();
        *_block->bytes.append(1) = static_cast<unsigned char>(op);
    }
    void _word(uint32_t w) { _put(&w, sizeof w); }
    // A string, to be told ahead as `kind` unless it is null or told lately.
    void _string(const unsigned char* s, std::optional<LookAhead::Kind> kind = std::nullopt) {
        if (s == nullptr) {
            _word(kNull);
            return;
        }
        const size_t n = std::strlen(reinterpret_cast<const char*>(s));
        const uint32_t w = static_cast<uint32_t>(n);
        unsigned char* at = _block->bytes.append(sizeof w + n + 1);
        std::memcpy(at, &w, sizeof w);
        std::memcpy(at + sizeof w, s, n + 1);
        if (kind) _noteText(size_t(at + sizeof w - _block->bytes.data()), w, *kind);
    }
    // Notes a text for the handlers' thread to tell, unless told lately.
    void _noteText(size_t at, uint32_t length, LookAhead::Kind kind) {
        if (!_recent.seen(_block->bytes.data() + at, length)) _block->told.push_back({at, kind});
    }
    // The run of character data that later runs could join is complete.
    void _endText() {
        if (_textAt != kNoText) _noteText(_textAt + sizeof _textLength, _textLength, LookAhead::Kind::Data);
        _textAt = kNoText;
    }
    template <typename... Strings>
    void _event(Op op, Strings... strings) {
        _op(op);
        (_string(strings), ...);
        _done();
    }
    // The op, the length word, the bytes and their terminator, in one piece.
    void _run(Op op, const unsigned char* chars, unsigned int length) {
        _endText();
        const uint32_t w = length;
        unsigned char* at = _block->bytes.append(1 + sizeof w + size_t(length) + 1);
        at[0] = static_cast<unsigned char>(op);
        std::memcpy(at + 1, &w, sizeof w);
        if (length != 0) std::memcpy(at + 1 + sizeof w, chars, length);
        at[1 + sizeof w + length] = 0;
        const size_t lengthAt = size_t(at + 1 - _block->bytes.data());
        if (op == Op::Characters) {  // a later run may join it
            _textAt = lengthAt;
            _textLength = length;
        } else {
            _noteText(lengthAt + sizeof w, length, LookAhead::Kind::Data);
        }
        _done();
    }
    void _terminated(const unsigned char* chars, size_t length) {
        unsigned char* at = _block->bytes.append(length + 1);
        if (length != 0) std::memcpy(at, chars, length);
        at[length] = 0;
    }
    void _problem(Op op, const SAXParseException& e) {
        _op(op);
        _word(static_cast<uint32_t>(_block->problems.size()));
        _block->problems.push_back(Problem{e});
        _done();
    }
    void _done() {
        if (_block->bytes.size() >= kBlockBytes) _handOver();
    }
    // The next block is had first, so that the recorder always holds one,
    // whatever fails.
    void _handOver() {
        std::unique_ptr<Block> next = _channel.spare();
        _endText();
        if (!_channel.hand(std::exchange(_block, std::move(next)))) throw Stopped();
    }

    static constexpr size_t kNoText = ~size_t(0);

    Channel& _channel;
    std::unique_ptr<Block> _block;
    size_t _textAt = kNoText;  // length word of the block's last record, if it is a text run
    uint32_t _textLength = 0;
    RecentTexts _recent;
};

// The attributes of one replayed start tag: pointers into its block.
class RecordedAttributes final : public AttributeList {
public:
    // name, type and value of each attribute in turn.
    std::vector<const unsigned char*> fields;

    unsigned int getLength() const override { return static_cast<unsigned int>(fields.size() / 3); }
    const unsigned char* getName(unsigned int i) const override { return _at(i, 0); }
    const unsigned char* getType(unsigned int i) const override { return _at(i, 1); }
    const unsigned char* getValue(unsigned int i) const override { return _at(i, 2); }
    const unsigned char* getType(const unsigned char* name) const override {
        return _at(_find(name), 1);
    }
    const unsigned char* getValue(const unsigned char* name) const override {
        return _at(_find(name), 2);
    }

private:
    const unsigned char* _at(unsigned int i, unsigned int part) const {
        return i < getLength() ? fields[3 * size_t(i) + part] : nullptr;
    }
    // The first attribute called `name`, or getLength().
    unsigned int _find(const unsigned char* name) const {
        const unsigned int n = getLength();
        if (name == nullptr) return n;
        unsigned int i = 0;
        while (i < n && (fields[3 * size_t(i)] == nullptr ||
                         std::strcmp(reinterpret_cast<const char*>(fields[3 * size_t(i)]),
                                     reinterpret_cast<const char*>(name)) != 0))
            ++i;
        return i;
    }
};

// Reads one block's events back.
class Replay {
public:
    Replay(const Block& block, RecordedAttributes& attributes, LookAhead* ahead)
        : _block(block), _at(block.bytes.data()), _end(_at + block.bytes.size()),
          _attributes(attributes), _ahead(ahead) {}

    void to(const Handlers& h) {
        while (_at < _end) {
            if (_ahead != nullptr && size_t(_at - _block.bytes.data()) >= _tellFrom) _tell();
            const Op op = static_cast<Op>(*_at++);
            switch (op) {
            case Op::StartDocument:
                if (h.document) h.document->startDocument();
                break;
            case Op::EndDocument:
                if (h.document) h.document->endDocument();
                break;
            case Op::StartElement: {
                const unsigned char* name = _string();
                const uint32_t count = _word();
                _attributes.fields.clear();
                for (uint32_t i = 0; i < 3 * count; ++i) _attributes.fields.push_back(_string());
                if (h.document) h.document->startElement(name, _attributes);
                break;
            }
            case Op::EndElement: {
                const unsigned char* name = _string();
                if (h.document) h.document->endElement(name);
                break;
            }
            case Op::Characters:
            case Op::Whitespace: {
                const uint32_t length = _word();
                const unsigned char* chars = _at;
                _at += size_t(length) + 1;
                if (h.document == nullptr) break;
                if (op == Op::Characters)
                    h.document->characters(chars, 0, length);
                else
                    h.document->ignorableWhitespace(chars, 0, length);
                break;
            }
            case Op::Instruction: {
                const unsigned char* target = _string();
                const unsigned char* data = _string();
                if (h.document) h.document->processingInstruction(target, data);
                break;
            }
            case Op::Notation: {
                const unsigned char* name = _string();
                const unsigned char* publicId = _string();
                const unsigned char* systemId = _string();
                if (h.dtd) h.dtd->notationDecl(name, publicId, systemId);
                break;
            }
            case Op::UnparsedEntity: {
                const unsigned char* name = _string();
                const unsigned char* publicId = _string();
                const unsigned char* systemId = _string();
                const unsigned char* notation = _string();
                if (h.dtd) h.dtd->unparsedEntityDecl(name, publicId, systemId, notation);
                break;
            }
            case Op::Warning:
            case Op::Error:
            case Op::FatalError: {
                const SAXParseException& e = _block.problems[_word()].exception;
                if (h.error == nullptr) break;
                if (op == Op::Warning) h.error->warning(e);
                if (op == Op::Error) h.error->error(e);
                if (op == Op::FatalError) h.error->fatalError(e);
                break;
            }
            }
        }
    }

private:
    // Texts told per turn: enough for the index to look up many places at
    // once, few enough that its memory of them holds all.
    static constexpr size_t kTexts = 256;

    // Tells the next kTexts texts of the block, or those left; the next
    // turn comes once half of them have been replayed, so that the texts of
    // the events next in turn are always told.
    void _tell() {
        const std::vector<Told>& told = _block.told;
        const size_t end = std::min(told.size(), _toldCount + kTexts);
        for (; _toldCount < end; ++_toldCount)
            _ahead->text(told[_toldCount].kind, _block.bytes.data() + told[_toldCount].at);
        _tellFrom = end == told.size() ? _block.bytes.size() : told[end - kTexts / 2].at + 1;
    }
    uint32_t _word() {
        uint32_t w;
        std::memcpy(&w, _at, sizeof w);
        _at += sizeof w;
        return w;
    }
    const unsigned char* _string() {
        const uint32_t n = _word();
        if (n == kNull) return nullptr;
        const unsigned char* s = _at;
        _at += size_t(n) + 1;
        return s;
    }

    const Block& _block;
    const unsigned char* _at;
    const unsigned char* _end;
    RecordedAttributes& _attributes;
    LookAhead* _ahead;
    size_t _toldCount = 0;  // texts of the block told so far
    size_t _tellFrom = 0;   // where in the block the next turn comes
};

// Stops and joins the parser's thread however the reading ends, then gives
// the parser its own handlers back.
class Finish {
public:
    Finish(Channel& channel, std::thread& worker, LumXMLSAX::Parser& parser, const Handlers& to)
        : _channel(channel), _worker(worker), _parser(parser), _to(to) {}
    ~Finish() {
        _channel.stop();
        _worker.join();
        connect(_parser, _to);
    }
    Finish(const Finish&) = delete;
    Finish& operator=(const Finish&) = delete;

private:
    Channel& _channel;
    std::thread& _worker;
    LumXMLSAX::Parser& _parser;
    const Handlers& _to;
};

template <typename Source>
void parseAhead(LumXMLSAX::Parser& parser, Source&& source, const Handlers& to, LookAhead* ahead,
                const BetweenBlocks& between) {
    Channel channel;
    Recorder recorder(channel);
    connect(parser, Handlers{to.document ? &recorder : nullptr, to.error ? &recorder : nullptr,
                             to.dtd ? &recorder : nullptr});
    std::thread worker;
    try {
        worker = std::thread([&] {
            std::exception_ptr failure;
            try {
                parser.parse(source);
            } catch (const Stopped&) {
            } catch (...) {
                failure = std::current_exception();
            }
            recorder.end(std::move(failure));
        });
    } catch (const std::system_error&) {
        connect(parser, to);
        parser.parse(source);
        return;
    }
    Finish finish(channel, worker, parser, to);
    RecordedAttributes attributes;
    std::unique_ptr<Block> block;
    while ((block = channel.next(std::move(block))) != nullptr) {
        if (between) between();
        Replay(*block, attributes, ahead).to(to);
    }
    if (std::exception_ptr failure = channel.failure()) std::rethrow_exception(failure);
}

}  // namespace

void ParseAhead(LumXMLSAX::Parser& parser, const char* systemId, const Handlers& to,
                LookAhead* ahead, const BetweenBlocks& between) {
    parseAhead(parser, systemId, to, ahead, between);
}

void ParseAhead(LumXMLSAX::Parser& parser, LumXMLSAX::InputSource& source, const Handlers& to,
                LookAhead* ahead, const BetweenBlocks& between) {
    parseAhead(parser, source, to, ahead, between);
}

}  // namespace tarnxml_detail
