#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <string>

#include "engine/tarn20.h"
#include "xml/address_set.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlexception.h"
#include "xml/lumxmlref.h"
#include "xml/xml_basetypes.h"
#include "tests/xml/xml_test_util.h"

namespace {

using xml_test::codeOf;
using xml_test::u;

std::string tempName(const char* what) { return xml_test::tempName("xmlref", what); }

std::string tagOf(const lumxmlref& ref) {
    unsigned char* name = nullptr;
    unsigned long length = 0;
    ref.getCurrentTagDyn(&name, &length);
    std::string tag(reinterpret_cast<char*>(name), length);
    std::free(name);
    return tag;
}

std::string textOf(lumxmlref& ref) {
    unsigned char* text = nullptr;
    unsigned long length = 0;
    ref.GetPCDATADyn(&text, &length);
    std::string value(reinterpret_cast<char*>(text), length);
    if (length != 0) std::free(text);
    return value;
}

// Replays the element the reference's pointer field leads to, the way the
// database driver does, as XML-like text.
std::string walk(lumxmlref& ref) {
    std::string out;
    int depth = 0;
    for (int step = 0; step < 1000; ++step) {
        switch (ref.getStateInTagChain()) {
            case XMLCTRL_PCDATA:
                out += textOf(ref);
                ref.GotoNextField();
                break;
            case XMLCTRL_ELEMENT:
            case XMLCTRL_DOCUMENT: {
                ++depth;
                ref.GotoChildTagChainStart();
                ref.GotoNextField();
                std::string attributes;
                while (ref.getCurrentBasetype() == XML_BT_ATTRIBUTE_NAME) {
                    unsigned char *name = nullptr, *value = nullptr;
                    if (!ref.getAttributeDyn(&name, &value)) return out + "!attribute";
                    attributes += std::string(" ") + reinterpret_cast<char*>(name) + "=\"" +
                                  reinterpret_cast<char*>(value) + "\"";
                    std::free(name);
                    std::free(value);
                    ref.GotoNextField();
                }
                out += "<" + tagOf(ref) + attributes + ">";
                break;
            }
            case XMLCTRL_CHAIN_END:
                out += "</" + tagOf(ref) + ">";
                ref.GotoParentTagChainInBranch();
                ref.GotoNextField();
                if (--depth == 0) return out;
                break;
            default:
                return out + "!state";
        }
    }
    return out + "!endless";
}

class LumXMLRefTest : public testing::Test {
protected:
    void SetUp() override {
        _name = tempName(testing::UnitTest::GetInstance()->current_test_info()->name());
        db.SetDatabaseName(_name.c_str());
        db.Create();
    }
    void TearDown() override {
        doc.Destroy();
        if (db.isOpened()) db.Close();
        std::remove(_name.c_str());
    }

    // <a>t<b k="v"/>u<e/></a>; `doc` ends on the document pointer.
    void storeExample() {
        db.GetDocumentRootNode(u("a"), &doc);
        doc.putPCDATA(u("t"));
        doc.putAttributeBranch(u("b"));
        doc.putAttributeValues(u("k"), u("v"));
        doc.GotoParentTagChainInBranch();
        doc.putPCDATA(u("u"));
        doc.putElement(u("e"));
        doc.GotoParentTagChainInBranch();
        doc.GotoParentTagChainInBranch();
    }
    // A reference on field `position` of the chain `pointer`'s field leads to.
    lumxmlref inChild(const lumxmlref& pointer, uint32_t position) {
        lumxmlref ref(pointer);
        EXPECT_TRUE(ref.GotoChildTagChainStart());
        for (uint32_t i = 0; i < position; ++i) EXPECT_TRUE(ref.GotoNextField());
        return ref;
    }

    LumXMLDb db;
    lumxmlref doc;

private:
    std::string _name;
};

TEST_F(LumXMLRefTest, WalksDocumentInDocumentOrder) {
    storeExample();
    doc.Destroy();
    db.Close();
    db.Open();
    db.GetDocumentRootNode(nullptr, &doc);
    EXPECT_EQ(walk(doc), "<a>t<b k=\"v\"></b>u<e></e></a>");
    EXPECT_EQ(doc.getStateInTagChain(), XMLCTRL_CHAIN_END);
}

TEST_F(LumXMLRefTest, RefusedStepKeepsChainEndUntilTheNextStep) {
    storeExample();
    lumxmlref root = inChild(doc, 0);
    root.GotoCurrentTagChainEnd();
    ASSERT_EQ(root.getStateInTagChain(), XMLCTRL_ELEMENT);
    lumxmlref e = inChild(root, 0);
    const unsigned long start = e.getCurrentLocation();

    EXPECT_FALSE(e.GotoNextField());
    EXPECT_EQ(e.getCurrentLocation(), start);
    EXPECT_EQ(e.getStateInTagChain(), XMLCTRL_CHAIN_END);
    EXPECT_EQ(e.getCurrentBasetype(), 0);
    EXPECT_EQ(tagOf(e), "e");

    ASSERT_TRUE(e.GotoParentTagChainInBranch());
    EXPECT_EQ(e.getCurrentLocation(), root.getCurrentLocation());
    EXPECT_EQ(e.getStateInTagChain(), XMLCTRL_CHAIN_END);
    e.GotoCurrentTagChainStart();
    EXPECT_EQ(e.getStateInTagChain(), XMLCTRL_CHAIN_END);
    ASSERT_TRUE(e.GotoNextField());
    EXPECT_EQ(e.getStateInTagChain(), XMLCTRL_PCDATA);
    EXPECT_EQ(textOf(e), "t");
}

TEST_F(LumXMLRefTest, ClimbFromRootEndsOnDocumentChain) {
    storeExample();
    lumxmlref ref = inChild(doc, 0);
    EXPECT_EQ(ref.getStateInTagChain(), XMLCTRL_CHAIN_START);
    EXPECT_TRUE(ref.hasParent());
    ASSERT_TRUE(ref.GotoChildTagChainStart() == false);  // a start field is no pointer
    ASSERT_TRUE(ref.GotoParentTagChainInBranch());
    EXPECT_EQ(ref.getCurrentBasetype(), XML_BT_DOCUMENT);
    EXPECT_EQ(ref.getCurrentLocation(), doc.getCurrentLocation());
    EXPECT_FALSE(ref.GotoParentTagChainInBranch());
    EXPECT_EQ(ref.getStateInTagChain(), XMLCTRL_STRING);
    EXPECT_FALSE(ref.hasParent());
    EXPECT_EQ(tagOf(ref), "SOD");
}

TEST_F(LumXMLRefTest, ChildMoves) {
    storeExample();
    lumxmlref first(doc);
    ASSERT_TRUE(first.GotoFirstChild());
    EXPECT_EQ(textOf(first), "t");
    lumxmlref last(doc);
    ASSERT_TRUE(last.GotoLastChild());
    EXPECT_EQ(last.getCurrentBasetype(), XML_BT_ELEMENT);

    // An element of its start field only has no first child.
    lumxmlref empty(last);
    EXPECT_FALSE(empty.GotoFirstChild());
    EXPECT_EQ(empty.getCurrentBasetype(), 0);  // the refused step
    lumxmlref fresh(last);
    EXPECT_TRUE(fresh.GotoChildTagChainStart());
    EXPECT_EQ(fresh.getCurrentLocation(), empty.getCurrentLocation());

    // What a pointer and a chain start hold, and the chain a field is in,
    // read where the reference stands, also right after a move.
    const unsigned long rootStart = inChild(doc, 0).getCurrentLocation();
    EXPECT_EQ(last.getLinkedLocation(), fresh.getCurrentLocation());
    EXPECT_EQ(fresh.getLinkedLocation(), last.getCurrentLocation());
    EXPECT_EQ(fresh.getCurrentChainLocation(), fresh.getCurrentLocation());
    EXPECT_EQ(first.getLinkedLocation(), 0u);
    EXPECT_EQ(first.getCurrentChainLocation(), rootStart);
    EXPECT_EQ(last.getCurrentChainLocation(), rootStart);
    lumxmlref back(fresh);
    EXPECT_TRUE(back.GotoParentTagChainInBranch());
    EXPECT_EQ(back.getCurrentChainLocation(), rootStart);
    EXPECT_EQ(doc.getLinkedLocation(), rootStart);

    // Non-pointer fields are refused and the cursor stays.
    const unsigned long at = first.getCurrentLocation();
    EXPECT_FALSE(first.GotoChildTagChainStart());
    EXPECT_FALSE(first.GotoLastChild());
    EXPECT_EQ(first.getCurrentLocation(), at);

    lumxmlref inB = inChild(lumxmlref(inChild(doc, 2)), 1);
    ASSERT_EQ(inB.getStateInTagChain(), XMLCTRL_ATTRIBUTE_NAME);
    ASSERT_TRUE(inB.GotoParentTagChainNextBranch());
    EXPECT_EQ(textOf(inB), "u");

    lumxmlref inE(fresh);
    EXPECT_FALSE(inE.GotoParentTagChainNextBranch());
    EXPECT_EQ(inE.getCurrentLocation(), fresh.getCurrentLocation());
    EXPECT_EQ(inE.getStateInTagChain(), XMLCTRL_CHAIN_END);

    lumxmlref fromB = inChild(lumxmlref(inChild(doc, 2)), 2);
    fromB.GotoParentTagChainEnd();
    EXPECT_EQ(fromB.getCurrentLocation(), last.getCurrentLocation());
}

TEST_F(LumXMLRefTest, NamedClimbAndRoot) {
    db.GetDocumentRootNode(u("book"), &doc);
    doc.putElement(u("part"));
    doc.putElement(u("book"));
    doc.putElement(u("title"));
    doc.putPCDATA(u("Dune"));
    lumxmlref text(doc);

    lumxmlref up(text);
    ASSERT_TRUE(up.GotoNamedParentTagChain(u("book")));
    EXPECT_EQ(up.getCurrentBasetype(), XML_BT_ELEMENT);
    EXPECT_EQ(tagOf(up), "book");
    ASSERT_TRUE(up.GotoChildTagChainStart());
    EXPECT_EQ(tagOf(up), "title");  // the pointer towards the start

    lumxmlref start(text);
    ASSERT_TRUE(start.GotoNamedParentTagChainStart(u("book")));
    EXPECT_EQ(start.getCurrentBasetype(), XML_BT_CHAIN_START);
    EXPECT_TRUE(start.GotoNamedParentTagChainEnd(u("part")));
    EXPECT_EQ(tagOf(start), "part");

    lumxmlref missing(text);
    EXPECT_FALSE(missing.GotoNamedParentTagChainStart(u("chapter")));
    EXPECT_EQ(missing.getStateInTagChain(), XMLCTRL_STRING);

    lumxmlref root(text);
    root.GotoRootNode();
    EXPECT_EQ(root.getCurrentBasetype(), XML_BT_DOCUMENT);
    root.GotoRootNode();
    EXPECT_EQ(root.getCurrentBasetype(), XML_BT_DOCUMENT);

    lumxmlref loose;
    db.createUnlinkedXMLref(u("x"), &loose);
    loose.putElement(u("y"));
    EXPECT_TRUE(loose.hasParent());
    EXPECT_FALSE(loose.GotoNamedParentTagChain(u("book")));
    EXPECT_FALSE(loose.hasParent());
    EXPECT_EQ(tagOf(loose), "UnlinkedElements");
}

TEST_F(LumXMLRefTest, DamagedParentLinksDoNotLoop) {
    storeExample();
    lumxmlref pointer = inChild(doc, 2);  // a's 135 field
    lumxmlref start = inChild(doc, 0);
    // Make a's start field name a field of its own chain as its parent.
    lumcursor* raw = nullptr;
    ASSERT_EQ(LumCursorCreate(&raw, db.getDatabaseHandle()), 0u);
    ASSERT_EQ(LumCursorGotoMemberAddress(raw, start.getCurrentLocation()), 0u);
    const uint32_t self = pointer.getCurrentLocation();
    ASSERT_EQ(LumCursorModifyField(raw, nullptr, &self, 4, nullptr), 0u);
    LumCursorDestroy(raw);

    lumxmlref climber = inChild(pointer, 1);
    EXPECT_FALSE(climber.GotoNamedParentTagChain(u("nowhere")));
    climber.GotoRootNode();
    EXPECT_NE(climber.getCurrentBasetype(), XML_BT_DOCUMENT);
}

TEST_F(LumXMLRefTest, WritesAndReadsAttributesAndText) {
    db.GetDocumentRootNode(u("r"), &doc);
    doc.putAttributeBranch(u("b"));
    doc.putAttributeValues(u("k"), u("v"));
    EXPECT_EQ(doc.getCurrentBasetype(), XML_BT_ATTRIBUTE_VALUE);
    doc.putPCDATA(u("t"));
    EXPECT_EQ(doc.getStateInTagChain(), XMLCTRL_PCDATA);
    EXPECT_EQ(tagOf(doc), "b");
    doc.putPCDATA(u(""));
    doc.putPCDATA(u("abc"));

    doc.GotoCurrentTagChainStart();
    ASSERT_TRUE(doc.GotoNextField());
    unsigned char *name = nullptr, *value = nullptr;
    ASSERT_TRUE(doc.getAttributeDyn(&name, &value));
    EXPECT_STREQ(reinterpret_cast<char*>(name), "k");
    EXPECT_STREQ(reinterpret_cast<char*>(value), "v");
    std::free(name);
    std::free(value);
    EXPECT_EQ(doc.getStateInTagChain(), XMLCTRL_ATTRIBUTE_VALUE);

    ASSERT_TRUE(doc.GotoNextField());
    name = value = nullptr;
    EXPECT_FALSE(doc.getAttributeDyn(&name, &value));  // a text field
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(textOf(doc), "t");

    ASSERT_TRUE(doc.GotoNextField());
    unsigned char* empty = nullptr;
    unsigned long length = 7;
    doc.GetPCDATADyn(&empty, &length);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(empty[0], 0);  // shared, not to be freed

    ASSERT_TRUE(doc.GotoNextField());
    unsigned char* abc = nullptr;
    doc.GetPCDATADyn(&abc, &length);
    EXPECT_EQ(length, 3u);
    EXPECT_STREQ(reinterpret_cast<char*>(abc), "abc");
    std::free(abc);

    unsigned char small[3] = {'-', '-', '-'};
    doc.GetPCDATA(small, sizeof small);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(small), 3), "---");
    unsigned char fits[4] = {};
    doc.GetPCDATA(fits, sizeof fits);
    EXPECT_STREQ(reinterpret_cast<char*>(fits), "abc");
    unsigned char raw[8] = {};
    doc.getCurrentTag(raw, sizeof raw);
    EXPECT_STREQ(reinterpret_cast<char*>(raw), "abc");
}

TEST_F(LumXMLRefTest, TagNameOfEveryFieldIsItsChains) {
    const std::string longName(300, 'n');
    db.GetDocumentRootNode(u("item"), &doc);
    doc.putPCDATA(u("x"));
    doc.putAttributeBranch(u(longName.c_str()));
    doc.putAttributeValues(u("k"), u("v"));
    EXPECT_EQ(tagOf(doc), longName);
    doc.GotoParentTagChainInBranch();
    doc.putElement(u("\xc3\xa9l\xc3\xa9ment"));
    EXPECT_EQ(tagOf(doc), "\xc3\xa9l\xc3\xa9ment");
    doc.GotoParentTagChainInBranch();

    doc.GotoCurrentTagChainStart();
    int fields = 0;
    do {
        EXPECT_EQ(tagOf(doc), "item") << "field " << fields;
        ++fields;
    } while (doc.GotoNextField());
    EXPECT_EQ(fields, 4);
}

TEST_F(LumXMLRefTest, CopiesOwnTheirCursors) {
    storeExample();
    lumxmlref copy(doc);
    ASSERT_TRUE(copy.GotoFirstChild());
    EXPECT_EQ(doc.getCurrentBasetype(), XML_BT_DOCUMENT);

    lumxmlref assigned;
    assigned = copy;
    EXPECT_EQ(assigned.getCurrentLocation(), copy.getCurrentLocation());
    assigned.GotoNextField();
    EXPECT_NE(assigned.getCurrentLocation(), copy.getCurrentLocation());
    assigned = doc;
    EXPECT_EQ(assigned.getCurrentLocation(), doc.getCurrentLocation());

    // Assignment keeps the state; copies start from 0.
    lumxmlref ended(doc);
    EXPECT_FALSE(ended.GotoNextField());
    ended = copy;
    EXPECT_EQ(ended.getStateInTagChain(), XMLCTRL_CHAIN_END);
    lumxmlref cloned = ended.clone();
    EXPECT_EQ(cloned.getStateInTagChain(), XMLCTRL_PCDATA);

    lumxmlref unbound;
    lumxmlref copyOfUnbound(unbound);
    EXPECT_EQ(copyOfUnbound.getCurrentLocation(), 0u);
    assigned = unbound;
    EXPECT_EQ(assigned.getCurrentLocation(), 0u);
    EXPECT_FALSE(assigned.GotoNextField());

    unbound.Destroy();
    unbound.Destroy();
    for (lumxmlref* ref : {&copy, &ended, &cloned, &doc}) {
        ref->Destroy();
        ref->Destroy();
    }
    db.Close();
}

TEST_F(LumXMLRefTest, ReferenceOnClosedDatabaseTouchesNothing) {
    storeExample();
    lumxmlref fresh(&db);
    EXPECT_EQ(codeOf([&] { fresh.getCurrentBasetype(); }), 8);  // no current field yet
    fresh.Destroy();
    doc.Destroy();
    db.Close();

    lumxmlref ref(&db);
    ref = doc;
    EXPECT_FALSE(ref.GotoNextField());
    EXPECT_FALSE(doc.GotoNextField());
    EXPECT_FALSE(doc.GotoParentTagChainInBranch());
    EXPECT_FALSE(doc.GotoParentTagChainNextBranch());
    EXPECT_FALSE(doc.GotoChildTagChainStart());
    EXPECT_FALSE(doc.GotoFirstChild());
    EXPECT_FALSE(doc.GotoLastChild());
    EXPECT_FALSE(doc.GotoNamedParentTagChain(u("a")));
    EXPECT_FALSE(doc.hasParent());
    EXPECT_FALSE(doc.DeleteCurrentTagChain());
    EXPECT_FALSE(doc.DeleteCurrentTagChain(true));
    unsigned char *name = nullptr, *value = nullptr;
    EXPECT_FALSE(doc.getAttributeDyn(&name, &value));
    EXPECT_EQ(doc.getCurrentLocation(), 0u);
    doc.GotoRootNode();
    doc.GotoCurrentTagChainEnd();
    doc.putPCDATA(u("ignored"));
    doc.putAttributeBranch(u("ignored"));
    EXPECT_EQ(codeOf([&] { doc.putElement(u("x")); }), 6);
    EXPECT_EQ(textOf(doc), "");
}

TEST_F(LumXMLRefTest, ReferenceKeepsDatabaseOpenUntilItGoes) {
    std::string name = tempName("outlive");
    lumxmlref survivor;
    {
        LumXMLDb local(name.c_str());
        local.Create();
        local.GetDocumentRootNode(u("r"), &survivor);
    }
    survivor.putPCDATA(u("late"));
    EXPECT_EQ(textOf(survivor), "late");
    survivor.Destroy();
    survivor = lumxmlref();
    LumXMLDb reopened(name.c_str());
    reopened.Open();
    EXPECT_TRUE(reopened.GetElementPCDATAUnique(nullptr, u("r"), u("late"), &survivor));
    survivor.Destroy();
    reopened.Close();
    std::remove(name.c_str());
}

TEST_F(LumXMLRefTest, DeleteChainLeavesParentPointer) {
    db.GetDocumentRootNode(u("r"), &doc);
    doc.putElement(u("c"));
    doc.putPCDATA(u("gone"));
    doc.GotoParentTagChainInBranch();
    doc.putElement(u("d"));
    doc.putPCDATA(u("kept"));
    lumxmlref c;
    ASSERT_TRUE(db.GetElementPCDATAUnique(nullptr, u("c"), u("gone"), &c));
    ASSERT_TRUE(c.DeleteCurrentTagChain());
    lumxmlref probe;
    EXPECT_FALSE(db.GetElementPCDATAUnique(nullptr, u("c"), u("gone"), &probe));
    EXPECT_TRUE(db.GetElementPCDATAUnique(nullptr, u("d"), u("kept"), &probe));
    doc.GotoRootNode();
    ASSERT_TRUE(doc.GotoFirstChild());
    EXPECT_EQ(doc.getStateInTagChain(), XMLCTRL_ELEMENT);
}

TEST_F(LumXMLRefTest, RecursiveDeleteErasesDeepTreesWithoutRecursion) {
    db.GetDocumentRootNode(u("top"), &doc);
    doc.putPCDATA(u("keep"));
    doc.putElement(u("n"));
    lumxmlref subtree(doc);
    for (int depth = 0; depth < 3000; ++depth) {
        doc.putPCDATA(u(("deep" + std::to_string(depth)).c_str()));
        doc.putElement(depth % 2 == 0 ? u("n") : u("m"));
    }
    doc.putPCDATA(u("bottom"));
    ASSERT_TRUE(subtree.DeleteCurrentTagChain(true));

    lumxmlref probe;
    EXPECT_FALSE(db.GetElementPCDATAUnique(nullptr, u("n"), u("deep0"), &probe));
    EXPECT_FALSE(db.GetElementPCDATAUnique(nullptr, u("n"), u("deep1999"), &probe));
    EXPECT_FALSE(db.GetElementPCDATAUnique(nullptr, u("m"), u("deep2000"), &probe));
    EXPECT_FALSE(db.GetElementPCDATAUnique(nullptr, u("m"), u("bottom"), &probe));
    ASSERT_TRUE(db.GetElementPCDATAUnique(nullptr, u("top"), u("keep"), &probe));
    ASSERT_TRUE(probe.GotoNextField());
    EXPECT_EQ(probe.getStateInTagChain(), XMLCTRL_ELEMENT);
}

// The walks' set of passed addresses against std::set: entries come and go
// in clusters (nearby addresses, many in one run of the table), as chains of
// a document do.
TEST(AddressSet, AgreesWithAModelSet) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        tarnxml_detail::AddressSet set;
        std::set<uint32_t> model;
        const uint32_t range = 1 + random() % 3000;
        for (int step = 0; step < 5000; ++step) {
            // Now and then 0, the offset of nothing, which a damaged file may hold.
            const uint32_t address = step % 97 == 0 ? 0 : 12288 + 4 * (random() % range);
            if (random() % 3 != 0) {
                ASSERT_EQ(set.insert(address), model.insert(address).second);
            } else {
                set.erase(address);
                model.erase(address);
            }
        }
        for (uint32_t i = 0; i < range; ++i) {
            const uint32_t address = 12288 + 4 * i;
            ASSERT_EQ(set.insert(address), model.insert(address).second) << address;
        }
    }
}

}  // namespace
