// Writes deterministic XML documents for the load and query scripts.
//
//   gen_xml catalog MB   file   a catalog of books of about MB megabytes:
//                               attributes, indentation, mixed content and
//                               some non-ASCII text
//   gen_xml flat N       file   a root with N small children
//   gen_xml deep D       file   D elements nested inside each other
//   gen_xml text MB      file   one element holding one text run of MB MB
//
// The same arguments always give the same bytes.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Output buffered in large blocks; a failed write ends the program.
class Writer {
public:
    explicit Writer(const char* path) : _path(path), _file(std::fopen(path, "wb")) {
        if (_file == nullptr) fail();
        _buffer.reserve(kBlock * 2);
    }
    ~Writer() {
        flush();
        if (std::fclose(_file) != 0) fail();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    Writer& operator<<(const std::string& s) { return put(s.data(), s.size()); }
    Writer& operator<<(const char* s) { return put(s, std::strlen(s)); }
    Writer& operator<<(uint64_t n) { return *this << std::to_string(n); }
    Writer& put(const char* s, size_t n) {
        _buffer.append(s, n);
        _written += n;
        if (_buffer.size() >= kBlock) flush();
        return *this;
    }
    uint64_t written() const { return _written; }

private:
    static constexpr size_t kBlock = 1 << 20;

    void flush() {
        if (!_buffer.empty() && std::fwrite(_buffer.data(), 1, _buffer.size(), _file) != _buffer.size())
            fail();
        _buffer.clear();
    }
    [[noreturn]] void fail() const {
        std::fprintf(stderr, "gen_xml: %s: %s\n", _path, std::strerror(errno));
        std::exit(1);
    }

    const char* _path;
    std::FILE* _file;
    std::string _buffer;
    uint64_t _written = 0;
};

// A fixed-seed generator (64-bit LCG), so runs are reproducible.
class Random {
public:
    uint32_t next() {
        _state = _state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(_state >> 33);
    }
    uint32_t below(uint32_t n) { return next() % n; }
    template <size_t N>
    const char* pick(const char* const (&items)[N]) { return items[below(N)]; }

private:
    uint64_t _state = 0x7A524E2024ULL;
};

const char* const kWords[] = {
    "river", "stone", "light", "garden", "silver", "winter", "harbor", "quiet",
    "north", "paper", "lantern", "meadow", "echo", "copper", "window", "island",
    "caf\xC3\xA9", "na\xC3\xAFve", "\xC3\xBC" "ber", "stra\xC3\x9F" "e", "se\xC3\xB1or",
    "\xE6\x9D\xB1\xE4\xBA\xAC", "\xD0\xBC\xD0\xB8\xD1\x80", "&amp;", "&lt;tag&gt;"};
const char* const kNames[] = {"Ada Byron", "Jos\xC3\xA9 Saramago", "Mary Shelley",
                              "Italo Calvino", "\xC3\x89mile Zola", "Ursula Le Guin",
                              "Lu Xun", "Halld\xC3\xB3r Laxness"};
const char* const kLangs[] = {"en", "fr", "de", "es", "ja", "ru", "pt", "is"};
const char* const kGenres[] = {"novel", "poetry", "essay", "history", "science"};

std::string sentence(Random& random, unsigned words) {
    std::string s;
    for (unsigned i = 0; i < words; ++i) {
        if (i) s += ' ';
        s += random.pick(kWords);
    }
    return s;
}

void book(Writer& out, Random& random, uint64_t id) {
    out << "  <book id=\"b" << id << "\" lang=\"" << random.pick(kLangs) << "\" genre=\""
        << random.pick(kGenres) << "\">\n";
    out << "    <title>" << sentence(random, 2 + random.below(4)) << "</title>\n";
    out << "    <author>" << random.pick(kNames) << "</author>\n";
    out << "    <year>" << static_cast<uint64_t>(1800 + random.below(224)) << "</year>\n";
    out << "    <price currency=\"EUR\">" << static_cast<uint64_t>(5 + random.below(60)) << "."
        << static_cast<uint64_t>(10 + random.below(90)) << "</price>\n";
    out << "    <summary>" << sentence(random, 6 + random.below(12)) << " <em>"
        << sentence(random, 1 + random.below(3)) << "</em> " << sentence(random, 4 + random.below(10))
        << ".</summary>\n";
    if (random.below(4) == 0) out << "    <isbn/>\n";
    out << "  </book>\n";
}

void catalog(Writer& out, uint64_t megabytes) {
    Random random;
    const uint64_t target = megabytes << 20;
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<catalog generated=\"gen_xml\">\n";
    for (uint64_t id = 1; out.written() + 12 < target; ++id) book(out, random, id);
    out << "</catalog>\n";
}

void flat(Writer& out, uint64_t children) {
    out << "<root>\n";
    for (uint64_t i = 0; i < children; ++i) out << "<c n=\"" << i << "\">" << i << "</c>\n";
    out << "</root>\n";
}

void deep(Writer& out, uint64_t depth) {
    for (uint64_t i = 0; i < depth; ++i) out << "<d" << i % 10 << ">";
    out << "bottom";
    for (uint64_t i = depth; i-- > 0;) out << "</d" << i % 10 << ">";
    out << "\n";
}

void text(Writer& out, uint64_t megabytes) {
    Random random;
    const uint64_t target = megabytes << 20;
    out << "<text>";
    while (out.written() < target) out << random.pick(kWords) << " ";
    out << "</text>\n";
}

int usage() {
    std::fprintf(stderr, "usage: gen_xml catalog|flat|deep|text SIZE FILE\n"
                         "  catalog MB, flat CHILDREN, deep LEVELS, text MB\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return usage();
    char* end = nullptr;
    errno = 0;
    unsigned long long size = std::strtoull(argv[2], &end, 10);
    if (errno != 0 || end == argv[2] || *end != '\0') return usage();
    std::string shape = argv[1];
    void (*generate)(Writer&, uint64_t) = nullptr;
    if (shape == "catalog") generate = catalog;
    if (shape == "flat") generate = flat;
    if (shape == "deep") generate = deep;
    if (shape == "text") generate = text;
    if (generate == nullptr) return usage();
    Writer out(argv[3]);
    generate(out, size);
    return 0;
}
