// The stored form of documents, read back field by field through the engine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/tarn20.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlref.h"
#include "xml/xml_basetypes.h"
#include "tests/xml/xml_test_util.h"

namespace {

using xml_test::u;

std::string tempName(const char* what) { return xml_test::tempName("layout", what); }

struct Field {
    LumTypeId id = 0;
    uint32_t address = 0;
    uint32_t owner = 0;
    uint32_t word = 0;   // value of a 32-bit field
    std::string text;    // value of a text field
};

// Raw reader over the database of an open LumXMLDb.
class Reader {
public:
    explicit Reader(LumXMLDb& db) {
        EXPECT_EQ(LumCursorCreate(&_cursor, db.getDatabaseHandle()), 0u);
        _db = db.getDatabaseHandle();
    }
    ~Reader() { LumCursorDestroy(_cursor); }

    // Equality search; the cursor ends on the first match.
    uint32_t find(LumTypeId type, const void* value) { return xml_test::searchEqual(_db, type, value, _cursor); }

    std::vector<Field> chainAt(uint32_t address) {
        EXPECT_EQ(LumCursorGotoMemberAddress(_cursor, address), 0u);
        return chain();
    }

    // Every field of the record the cursor is on.
    std::vector<Field> chain() {
        std::vector<Field> fields;
        uint32_t count = 0;
        EXPECT_EQ(LumCursorGetNumFields(_cursor, &count), 0u);
        for (uint32_t i = 0; i < count; ++i) {
            EXPECT_EQ(LumCursorGotoField(_cursor, i), 0u);
            fields.push_back(current());
        }
        return fields;
    }

    Field current() {
        Field f;
        char buffer[256] = {};
        const uint32_t encoding = 2;
        uint32_t size = 0;
        EXPECT_EQ(LumCursorFetchField(_cursor, &f.id, buffer, sizeof buffer, &encoding, &size,
                                      &f.address, &f.owner),
                  0u);
        if (xmlBasetypeOf(f.id) == XML_BT_CHAIN_START || xmlBasetypeOf(f.id) == XML_BT_DOCUMENT ||
            xmlBasetypeOf(f.id) == XML_BT_ELEMENT || xmlBasetypeOf(f.id) == XML_BT_ATTRIBUTE_BRANCH) {
            EXPECT_EQ(size, 4u);
            std::memcpy(&f.word, buffer, 4);
        } else {
            f.text = buffer;
        }
        return f;
    }

private:
    lumdb* _db = nullptr;
    lumcursor* _cursor = nullptr;
};

class LayoutTest : public testing::Test {
protected:
    void SetUp() override {
        _name = tempName(testing::UnitTest::GetInstance()->current_test_info()->name());
        db.SetDatabaseName(_name.c_str());
        db.Create();
    }
    void TearDown() override {
        if (db.isOpened()) db.Close();
        std::remove(_name.c_str());
    }
    void reopen() {
        db.Close();
        db.Open();
    }
    int type(const char* tag) { return db.getUsertype(u(tag)); }

    LumXMLDb db;

private:
    std::string _name;
};

// <a>t<b k="v"/>u<e/></a>, stored as the loader stores it.
void storeExample(LumXMLDb& db) {
    lumxmlref ref;
    db.GetDocumentRootNode(u("a"), &ref);
    ref.putPCDATA(u("t"));
    ref.putAttributeBranch(u("b"));
    ref.putAttributeValues(u("k"), u("v"));
    ASSERT_TRUE(ref.GotoParentTagChainInBranch());
    ref.putPCDATA(u("u"));
    ref.putElement(u("e"));
    ASSERT_TRUE(ref.GotoParentTagChainInBranch());
    ASSERT_TRUE(ref.GotoParentTagChainInBranch());
}

void expectField(const Field& f, int usertype, int basetype) {
    EXPECT_EQ(f.id, xmlTypeId(usertype, basetype))
        << "usertype " << xmlUsertypeOf(f.id) << " base " << xmlBasetypeOf(f.id);
}

TEST_F(LayoutTest, ExampleDocumentRecordByRecord) {
    storeExample(db);
    reopen();
    const int sod = type("SOD"), a = type("a"), b = type("b"), e = type("e");
    const int unlinked = type("UnlinkedElements");
    Reader reader(db);

    ASSERT_EQ(reader.find(xmlTypeId(sod, XML_BT_STRING), "DOCCHAIN"), 1u);
    const std::vector<Field> doc = reader.chain();
    ASSERT_EQ(doc.size(), 2u);
    expectField(doc[0], sod, XML_BT_STRING);
    EXPECT_EQ(doc[0].text, "DOCCHAIN");
    expectField(doc[1], sod, XML_BT_DOCUMENT);

    const std::vector<Field> ac = reader.chainAt(doc[1].word);
    ASSERT_EQ(ac.size(), 5u);
    expectField(ac[0], a, XML_BT_CHAIN_START);
    EXPECT_EQ(ac[0].address, doc[1].word);
    EXPECT_EQ(ac[0].owner, ac[0].address);
    EXPECT_EQ(ac[0].word, doc[1].address);
    expectField(ac[1], a, XML_BT_PCDATA);
    EXPECT_EQ(ac[1].text, "t");
    expectField(ac[2], a, XML_BT_ATTRIBUTE_BRANCH);
    expectField(ac[3], a, XML_BT_PCDATA);
    EXPECT_EQ(ac[3].text, "u");
    expectField(ac[4], a, XML_BT_ELEMENT);
    for (const Field& f : ac) EXPECT_EQ(f.owner, ac[0].address);

    const std::vector<Field> bc = reader.chainAt(ac[2].word);
    ASSERT_EQ(bc.size(), 3u);
    expectField(bc[0], b, XML_BT_CHAIN_START);
    EXPECT_EQ(bc[0].address, ac[2].word);
    EXPECT_EQ(bc[0].word, ac[2].address);
    expectField(bc[1], b, XML_BT_ATTRIBUTE_NAME);
    EXPECT_EQ(bc[1].text, "k");
    expectField(bc[2], b, XML_BT_ATTRIBUTE_VALUE);
    EXPECT_EQ(bc[2].text, "v");

    const std::vector<Field> ec = reader.chainAt(ac[4].word);
    ASSERT_EQ(ec.size(), 1u);
    expectField(ec[0], e, XML_BT_CHAIN_START);
    EXPECT_EQ(ec[0].word, ac[4].address);

    const uint32_t zero = 0;
    ASSERT_EQ(reader.find(xmlTypeId(unlinked, XML_BT_CHAIN_START), &zero), 1u);
    const std::vector<Field> uc = reader.chain();
    ASSERT_EQ(uc.size(), 1u);
    expectField(uc[0], unlinked, XML_BT_CHAIN_START);
    EXPECT_EQ(uc[0].word, 0u);

    // Text fields are indexed; the two fields of a pointer pair are not.
    EXPECT_EQ(reader.find(xmlTypeId(a, XML_BT_PCDATA), "u"), 1u);
    EXPECT_EQ(reader.find(xmlTypeId(b, XML_BT_ATTRIBUTE_VALUE), "v"), 1u);
    EXPECT_EQ(reader.find(xmlTypeId(a, XML_BT_CHAIN_START), &doc[1].address), 0u);
    EXPECT_EQ(reader.find(xmlTypeId(a, XML_BT_ATTRIBUTE_BRANCH), &bc[0].address), 0u);
}

// Unlinked elements hang off the one unlinked chain, newest first, and share
// user types with document elements of the same tag.
TEST_F(LayoutTest, UnlinkedElementsNewestFirst) {
    storeExample(db);
    lumxmlref first, second;
    db.createUnlinkedXMLref(u("b"), &first);
    db.createUnlinkedXMLref(nullptr, &second);
    const unsigned long one = first.getCurrentLocation();
    const unsigned long two = second.getCurrentLocation();
    first.Destroy();
    second.Destroy();

    Reader reader(db);
    const uint32_t zero = 0;
    const int unlinked = type("UnlinkedElements");
    ASSERT_EQ(reader.find(xmlTypeId(unlinked, XML_BT_CHAIN_START), &zero), 1u);
    const std::vector<Field> chain = reader.chain();
    ASSERT_EQ(chain.size(), 3u);
    expectField(chain[1], unlinked, XML_BT_ELEMENT);
    expectField(chain[2], unlinked, XML_BT_ELEMENT);
    EXPECT_EQ(chain[1].word, two);
    EXPECT_EQ(chain[2].word, one);
    expectField(reader.chainAt(one)[0], type("b"), XML_BT_CHAIN_START);
    const Field unknown = reader.chainAt(two)[0];
    expectField(unknown, type("<?unknown?>"), XML_BT_CHAIN_START);
    EXPECT_EQ(unknown.word, chain[1].address);
}

}  // namespace
