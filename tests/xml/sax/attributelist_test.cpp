#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "xml/sax/attributelist.h"
#include "xml/sax/handlerbase.h"
#include "xml/sax/saxexception.h"

namespace LumXMLSAX {
namespace {

const unsigned char* u(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

std::string str(const unsigned char* s) {
    return s ? std::string(reinterpret_cast<const char*>(s)) : std::string("<null>");
}

TEST(AttributeListImpl, EmptyListAnswersNullEverywhere) {
    AttributeListImpl list;
    EXPECT_EQ(list.getLength(), 0u);
    EXPECT_EQ(list.getCapacity(), 4u);
    EXPECT_EQ(list.getName(0), nullptr);
    EXPECT_EQ(list.getType(0u), nullptr);
    EXPECT_EQ(list.getValue(0u), nullptr);
    EXPECT_EQ(list.getType(u("a")), nullptr);
    EXPECT_EQ(list.getValue(u("a")), nullptr);
}

TEST(AttributeListImpl, GrowsByFourAndKeepsEveryAttribute) {
    AttributeListImpl list;
    const unsigned expectedCapacity[] = {4, 4, 4, 4, 8, 8, 8, 8, 12, 12, 12, 12, 16};
    for (unsigned i = 0; i < 13; ++i) {
        std::string n = "n" + std::to_string(i), v = "v" + std::to_string(i);
        list.addAttribute(u(n.c_str()), u("CDATA"), u(v.c_str()));
        EXPECT_EQ(list.getCapacity(), expectedCapacity[i]) << "after " << i + 1;
    }
    ASSERT_EQ(list.getLength(), 13u);
    for (unsigned i = 0; i < 13; ++i) {
        std::string n = "n" + std::to_string(i), v = "v" + std::to_string(i);
        EXPECT_EQ(str(list.getName(i)), n);
        EXPECT_EQ(str(list.getValue(i)), v);
        EXPECT_EQ(str(list.getType(i)), "CDATA");
        EXPECT_EQ(str(list.getValue(u(n.c_str()))), v);
    }
    EXPECT_EQ(list.getName(13), nullptr);
    EXPECT_EQ(list.getValue(13u), nullptr);
    EXPECT_EQ(list.getType(0xFFFFFFFFu), nullptr);
}

TEST(AttributeListImpl, KeepsCopiesNotTheCallersBuffers) {
    AttributeListImpl list;
    char name[] = "key", value[] = "value";
    list.addAttribute(u(name), u("ID"), u(value));
    std::strcpy(name, "xxx");
    std::strcpy(value, "yyyyy");
    EXPECT_EQ(str(list.getName(0)), "key");
    EXPECT_EQ(str(list.getValue(u("key"))), "value");
    EXPECT_EQ(str(list.getType(u("key"))), "ID");
}

TEST(AttributeListImpl, DuplicateNamesAreCountedAndTheFirstWins) {
    AttributeListImpl list;
    list.addAttribute(u("a"), u("CDATA"), u("first"));
    list.addAttribute(u("a"), u("ID"), u("second"));
    EXPECT_EQ(list.getLength(), 2u);
    EXPECT_EQ(str(list.getValue(u("a"))), "first");
    EXPECT_EQ(str(list.getType(u("a"))), "CDATA");
    EXPECT_EQ(str(list.getValue(1u)), "second");
}

TEST(AttributeListImpl, LookupByNameIsExactAndCaseSensitive) {
    AttributeListImpl list;
    list.addAttribute(u("Name"), u("CDATA"), u("x"));
    EXPECT_EQ(list.getValue(u("name")), nullptr);
    EXPECT_EQ(list.getValue(u("NAME")), nullptr);
    EXPECT_EQ(list.getValue(u("Nam")), nullptr);
    EXPECT_EQ(list.getValue(u("Names")), nullptr);
    EXPECT_EQ(list.getValue(static_cast<const unsigned char*>(nullptr)), nullptr);
    EXPECT_EQ(str(list.getValue(u("Name"))), "x");
}

class FixedLocator : public Locator {
public:
    FixedLocator(const char* pub, const char* sys, int line, int column)
        : _pub(pub), _sys(sys), _line(line), _column(column) {}
    int getColumnNumber() const override { return _column; }
    int getLineNumber() const override { return _line; }
    const unsigned char* getPublicId() const override { return u(_pub); }
    const unsigned char* getSystemId() const override { return u(_sys); }

private:
    const char* _pub;
    const char* _sys;
    int _line;
    int _column;
};

TEST(SAXException, MessageIsADeepCopy) {
    char text[] = "broken";
    SAXException a(text);
    std::strcpy(text, "XXXXXX");
    SAXException b(a);
    EXPECT_EQ(str(a.getMessage()), "broken");
    EXPECT_EQ(str(b.getMessage()), "broken");
    EXPECT_NE(a.getMessage(), b.getMessage());
    SAXException c(u("other"));
    c = a;
    EXPECT_EQ(str(c.getMessage()), "broken");
    EXPECT_NE(c.getMessage(), a.getMessage());
}

TEST(SAXException, NullMessageIsEmpty) {
    EXPECT_EQ(SAXException(static_cast<const char*>(nullptr)).getMessage(), nullptr);
    EXPECT_EQ(SAXException(static_cast<const unsigned char*>(nullptr)).getMessage(), nullptr);
}

TEST(SAXParseException, TakesEverythingFromTheLocatorAtConstruction) {
    FixedLocator where("-//P", "file.xml", 7, 3);
    SAXParseException e("bad", where);
    EXPECT_EQ(str(e.getMessage()), "bad");
    EXPECT_EQ(str(e.getPublicId()), "-//P");
    EXPECT_EQ(str(e.getSystemId()), "file.xml");
    EXPECT_EQ(e.getLineNumber(), 7);
    EXPECT_EQ(e.getColumnNumber(), 3);
}

TEST(SAXParseException, LocatorWithoutIdentifiersGivesNull) {
    FixedLocator nowhere(nullptr, nullptr, 1, 0);
    SAXParseException e(u("m"), nowhere);
    EXPECT_EQ(e.getPublicId(), nullptr);
    EXPECT_EQ(e.getSystemId(), nullptr);
}

TEST(SAXParseException, CopiesAreDeepAndCaughtAsSAXException) {
    std::string sys = "a.xml";
    auto* original = new SAXParseException(u("msg"), u("pub"), u(sys.c_str()), 12, 34);
    SAXParseException copy(*original);
    SAXParseException assigned(u("x"), nullptr, nullptr, 0, 0);
    assigned = *original;
    delete original;
    for (const SAXParseException* e : {&copy, &assigned}) {
        EXPECT_EQ(str(e->getMessage()), "msg");
        EXPECT_EQ(str(e->getPublicId()), "pub");
        EXPECT_EQ(str(e->getSystemId()), "a.xml");
        EXPECT_EQ(e->getLineNumber(), 12);
        EXPECT_EQ(e->getColumnNumber(), 34);
    }
    try {
        throw copy;
    } catch (const SAXException& caught) {
        auto* parse = dynamic_cast<const SAXParseException*>(&caught);
        ASSERT_NE(parse, nullptr);
        EXPECT_EQ(parse->getLineNumber(), 12);
    }
}

TEST(HandlerBase, FatalErrorThrowsACopyAndNeverReturns) {
    HandlerBase handler;
    SAXParseException problem(u("oops"), u("p"), u("s"), 2, 5);
    try {
        handler.fatalError(problem);
        FAIL() << "fatalError returned";
    } catch (const SAXParseException& thrown) {
        EXPECT_NE(&thrown, &problem);
        EXPECT_EQ(str(thrown.getMessage()), "oops");
        EXPECT_EQ(thrown.getColumnNumber(), 5);
    }
}

// Counts its destruction so that deleting through each face can be checked.
class CountedHandler : public HandlerBase {
public:
    explicit CountedHandler(int& destroyed) : _destroyed(destroyed) {}
    ~CountedHandler() override { ++_destroyed; }

private:
    int& _destroyed;
};

TEST(HandlerBase, DeletingThroughAnyFaceDestroysTheWholeObject) {
    int destroyed = 0;
    delete static_cast<EntityResolver*>(new CountedHandler(destroyed));
    delete static_cast<DTDHandler*>(new CountedHandler(destroyed));
    delete static_cast<DocumentHandler*>(new CountedHandler(destroyed));
    delete static_cast<ErrorHandler*>(new CountedHandler(destroyed));
    EXPECT_EQ(destroyed, 4);
}

}  // namespace
}  // namespace LumXMLSAX
