// A model of stored documents and of the searches over them: random
// documents as lists of elements, random requests, and what a plain scan of
// the document selects. Shared by the tests of the search call and of
// xmlfind, which print or return what the scan says.
#ifndef TARN_TESTS_SEARCH_MODEL_H
#define TARN_TESTS_SEARCH_MODEL_H

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace search_model {

// A document as a list of elements in document order; the root is element 0.
struct Element {
    std::string tag;
    std::vector<std::pair<std::string, std::string>> attributes;
    struct Item {
        std::string text;  // when child < 0
        int child = -1;
    };
    std::vector<Item> content;
    int parent = -1;
};

// The writer's escaping for the texts generated here: everything from 128
// up as a decimal character reference.
inline std::string escaped(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if (byte < 0x80) {
            out += utf8[i++];
            continue;
        }
        const int length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
        uint32_t ch = byte & (0x7F >> length);
        for (int k = 1; k < length; ++k) ch = ch << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out += "&#" + std::to_string(ch) + ";";
        i += length;
    }
    return out;
}

class Document {
public:
    explicit Document(std::mt19937& random) : _random(random) {
        grow(-1, 0);
    }

    const std::vector<Element>& elements() const { return _elements; }

    // With `stored`, as the writer prints the element; else as XML to load.
    std::string xml(int e, bool stored) const {
        const Element& element = _elements[e];
        std::string out = "<" + element.tag;
        for (const auto& [name, value] : element.attributes)
            out += " " + name + "=\"" + (stored ? escaped(value) : value) + "\"";
        out += ">";
        for (const Element::Item& item : element.content)
            out += item.child < 0 ? (stored ? escaped(item.text) : item.text) : xml(item.child, stored);
        return out + "</" + element.tag + ">";
    }

    // A piece of some text or attribute value of the document, cut anywhere,
    // even inside a character: what a search is likely to find something for.
    std::string piece(bool wholeOnly) {
        std::vector<const std::string*> texts;
        for (const Element& element : _elements) {
            for (const auto& attribute : element.attributes) texts.push_back(&attribute.second);
            for (const Element::Item& item : element.content)
                if (item.child < 0) texts.push_back(&item.text);
        }
        if (texts.empty()) return text(1);
        const std::string& text = *texts[below(texts.size())];
        if (wholeOnly || text.empty()) return text;
        const size_t from = below(text.size());
        return text.substr(from, 1 + below(text.size() - from));
    }

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(_random); }

    std::string text(size_t fewest) {
        static const char* const kPieces[] = {"a", "b", "ab", " ", "\xC3\xA9", "\xE6\x9D\xB1"};
        std::string out;
        for (size_t n = fewest + below(3); n > 0; --n) out += kPieces[below(6)];
        return out;
    }

private:
    void grow(int parent, int depth) {
        static const char* const kTags[] = {"a", "b", "c"};
        const int e = static_cast<int>(_elements.size());
        _elements.push_back({});
        _elements[e].tag = parent < 0 ? "doc" : kTags[below(3)];
        _elements[e].parent = parent;
        for (const char* name : {"k", "m"})
            if (below(3) == 0) _elements[e].attributes.emplace_back(name, text(0));
        const size_t items = depth < 4 ? below(parent < 0 ? 8 : 5) : below(2);
        bool afterText = false;
        for (size_t i = 0; i < items; ++i) {
            if (afterText || below(2) == 0) {
                const int child = static_cast<int>(_elements.size());
                grow(e, depth + 1);
                _elements[e].content.push_back({"", child});
                afterText = false;
            } else {
                _elements[e].content.push_back({text(1), -1});
                afterText = true;
            }
        }
    }

    std::mt19937& _random;
    std::vector<Element> _elements;
};

struct Condition {
    std::string join;  // "" for the first
    std::string mode;  // "--exact", "--prefix", "--contains", "--range"
    std::string attribute;
    std::string tag, value, high;

    bool matches(const std::string& text) const {
        if (mode == "--exact") return text == value;
        if (mode == "--prefix") return text.compare(0, value.size(), value) == 0;
        if (mode == "--contains") return text.find(value) != std::string::npos;
        std::string low = value, top = high;
        if (!low.empty() && !top.empty() && low > top) std::swap(low, top);
        return (low.empty() || text >= low) && (top.empty() || text <= top);
    }
};

struct Query {
    std::string within, wrap;
    bool count = false;
    long limit = -1;
    std::vector<Condition> conditions;

    std::vector<std::string> arguments(const std::string& db) const {
        std::vector<std::string> out;
        if (!within.empty()) out.insert(out.end(), {"--within", within});
        if (!wrap.empty()) out.push_back("--wrap=" + wrap);
        if (count) out.push_back("--count");
        if (limit >= 0) out.insert(out.end(), {"--limit", std::to_string(limit)});
        for (const Condition& c : conditions) {
            if (!c.join.empty()) out.push_back(c.join);
            out.push_back(c.mode);
            if (!c.attribute.empty()) out.insert(out.end(), {"--attr", c.attribute});
            if (c.join.empty()) out.push_back(db);  // the first condition's options go before it
            out.insert(out.end(), {c.tag, c.value});
            if (c.mode == "--range") out.push_back(c.high);
        }
        return out;
    }
};

// What a plain scan of the document selects, in document order.
inline std::vector<int> scan(const Document& document, const Query& query) {
    const std::vector<Element>& elements = document.elements();
    std::set<int> result;
    for (const Condition& c : query.conditions) {
        std::set<int> selected;
        for (int e = 0; e < static_cast<int>(elements.size()); ++e) {
            if (elements[e].tag != c.tag) continue;
            bool hit = false;
            if (!c.attribute.empty()) {
                for (const auto& [name, value] : elements[e].attributes)
                    hit = hit || (name == c.attribute && c.matches(value));
            } else {
                for (const Element::Item& item : elements[e].content)
                    hit = hit || (item.child < 0 && c.matches(item.text));
            }
            int around = e;
            while (hit && !query.within.empty() && around >= 0 && elements[around].tag != query.within)
                around = elements[around].parent;
            if (hit && around >= 0) selected.insert(around);
        }
        std::set<int> combined;
        if (c.join.empty() || c.join == "--or") {
            std::set_union(result.begin(), result.end(), selected.begin(), selected.end(),
                           std::inserter(combined, combined.end()));
        } else if (c.join == "--and") {
            std::set_intersection(result.begin(), result.end(), selected.begin(), selected.end(),
                                  std::inserter(combined, combined.end()));
        } else {
            std::set_difference(result.begin(), result.end(), selected.begin(), selected.end(),
                                std::inserter(combined, combined.end()));
        }
        result = std::move(combined);
    }
    std::vector<int> out(result.begin(), result.end());
    if (query.limit >= 0 && out.size() > static_cast<size_t>(query.limit)) out.resize(query.limit);
    return out;
}

inline Query randomQuery(Document& document) {
    static const char* const kModes[] = {"--exact", "--prefix", "--contains", "--range"};
    static const char* const kJoins[] = {"--and", "--or", "--and-not"};
    static const char* const kTags[] = {"a", "b", "c", "doc", "zz"};
    Query query;
    if (document.below(5) < 2) query.within = kTags[document.below(5)];
    query.count = document.below(5) == 0;
    if (!query.count && document.below(6) == 0) query.wrap = "found";
    if (document.below(6) == 0) query.limit = static_cast<long>(document.below(4));
    const size_t conditions = document.below(3) == 0 ? 2 + document.below(2) : 1;
    for (size_t i = 0; i < conditions; ++i) {
        Condition c;
        if (i > 0) c.join = kJoins[document.below(3)];
        c.mode = kModes[document.below(4)];
        if (document.below(3) == 0)
            c.attribute = document.below(8) == 0 ? "zz" : (document.below(2) ? "k" : "m");
        c.tag = kTags[document.below(10) == 0 ? 4 : document.below(4)];
        const bool whole = c.mode != "--contains" && document.below(2) == 0;
        c.value = document.below(8) == 0 ? "" : document.piece(whole);
        if (c.mode == "--range") c.high = document.below(6) == 0 ? "" : document.piece(whole);
        // A prefix just below a stored text, which a search up to the
        // prefix's successor reaches but must not count.
        if (c.mode == "--prefix" && document.below(3) == 0 && !c.value.empty() && c.value.back() != 1)
            c.value.back() = static_cast<char>(c.value.back() - 1);
        query.conditions.push_back(c);
    }
    return query;
}

}  // namespace search_model

#endif
