#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "engine/tarn20.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlexception.h"
#include "xml/lumxmlref.h"
#include "xml/xml_basetypes.h"
#include "tests/xml/xml_test_util.h"

namespace {

using xml_test::codeOf;
using xml_test::u;

std::string tempName(const char* what) { return xml_test::tempName("xmldb", what); }

// Number of fields of `type` equal to `value`.
uint32_t countEqual(lumdb* db, LumTypeId type, const void* value) { return xml_test::searchEqual(db, type, value); }

// Appends a one-field record through a cursor of its own.
void appendRecord(lumdb* db, LumTypeId type, const void* value, uint32_t length) {
    lumcursor* cursor = nullptr;
    ASSERT_EQ(LumCursorCreate(&cursor, db), 0u);
    const uint32_t encoding = 2;
    ASSERT_EQ(LumCursorAppendField(cursor, type, value, length, &encoding), 0u);
    LumCursorDestroy(cursor);
}

class LumXMLDbTest : public testing::Test {
protected:
    void SetUp() override {
        name = tempName(testing::UnitTest::GetInstance()->current_test_info()->name());
        std::remove(name.c_str());
    }
    void TearDown() override { std::remove(name.c_str()); }

    uint32_t documentChains(LumXMLDb& db) {
        return countEqual(db.getDatabaseHandle(), xmlTypeId(db.getUsertype(u("SOD")), XML_BT_STRING),
                          "DOCCHAIN");
    }
    uint32_t unlinkedChains(LumXMLDb& db) {
        const uint32_t zero = 0;
        return countEqual(db.getDatabaseHandle(),
                          xmlTypeId(db.getUsertype(u("UnlinkedElements")), XML_BT_CHAIN_START), &zero);
    }

    std::string name;
};

TEST_F(LumXMLDbTest, FailedOpeningLeavesObjectClosed) {
    LumXMLDb db;
    EXPECT_EQ(codeOf([&] { db.Create(); }), XMLERR_NO_DATABASE_NAME);
    EXPECT_EQ(codeOf([&] { db.Open(); }), XMLERR_NO_DATABASE_NAME);
    EXPECT_FALSE(db.isOpened());

    db.SetDatabaseName(name.c_str());
    EXPECT_NE(codeOf([&] { db.Open(); }), 0);  // no such file
    EXPECT_FALSE(db.isOpened());
    EXPECT_EQ(db.getDatabaseHandle(), nullptr);
    EXPECT_EQ(codeOf([&] { db.getUsertype(u("x")); }), 2);
    db.Close();

    db.SetDatabaseName((testing::TempDir() + "no/such/dir/x.db").c_str());
    EXPECT_NE(codeOf([&] { db.Create(); }), 0);
    EXPECT_FALSE(db.isOpened());
}

TEST_F(LumXMLDbTest, CreateMakesDocumentOnDemandAndOpenFindsIt) {
    LumXMLDb db(name.c_str());
    db.Create();
    EXPECT_EQ(db.getInputEncoding(), 2);
    EXPECT_EQ(db.getOutputEncoding(), 2);
    EXPECT_EQ(unlinkedChains(db), 1u);
    EXPECT_EQ(documentChains(db), 0u);
    {
        lumxmlref ref;
        db.GetDocumentRootNode(u("doc"), &ref);
        EXPECT_EQ(ref.getCurrentBasetype(), XML_BT_CHAIN_START);
        unsigned char* tag = nullptr;
        unsigned long length = 0;
        ref.getCurrentTagDyn(&tag, &length);
        EXPECT_STREQ(reinterpret_cast<char*>(tag), "doc");
        std::free(tag);
    }
    EXPECT_EQ(documentChains(db), 1u);
    db.Close();
    EXPECT_FALSE(db.isOpened());

    for (int round = 0; round < 2; ++round) {
        db.Open();
        lumxmlref ref;
        db.GetDocumentRootNode(nullptr, &ref);
        EXPECT_EQ(ref.getCurrentBasetype(), XML_BT_DOCUMENT);
        EXPECT_EQ(documentChains(db), 1u);
        EXPECT_EQ(unlinkedChains(db), 1u);
        ref.Destroy();
        db.Close();
    }
}

// Whatever is asked of a database opened read-only, its file stays as it
// was: known tags are found, new ones refused, nothing created on opening.
TEST_F(LumXMLDbTest, ReadOnlyOpeningWritesNothing) {
    std::string bare = name + ".bare";
    {
        // A database of the engine alone: no tags, no unlinked chain.
        lumdb* engine = nullptr;
        LumDbParams params{0, 0, 0, 0, 0, 0};
        ASSERT_EQ(LumDbCreate(&engine, 0, bare.c_str(), &params), 0u);
        ASSERT_EQ(LumDbClose(engine), 0u);
    }
    {
        LumXMLDb db(name.c_str());
        db.Create();
        lumxmlref ref;
        db.GetDocumentRootNode(u("doc"), &ref);
        ref.putPCDATA(u("text"));
        ref.Destroy();
        db.Close();
    }
    const auto before = xml_test::fileBytes(name);
    const auto bareBefore = xml_test::fileBytes(bare);
    LumXMLDb db(name.c_str());
    db.OpenReadOnly();
    int usertype = 0;
    EXPECT_TRUE(db.lookupUsertype(u("doc"), &usertype));
    EXPECT_EQ(usertype, db.getUsertype(u("doc")));
    EXPECT_TRUE(db.lookupUsertype(u("doc"), nullptr));
    usertype = 7;
    EXPECT_FALSE(db.lookupUsertype(u("fresh"), &usertype));
    EXPECT_FALSE(db.lookupUsertype(nullptr, &usertype));
    EXPECT_EQ(usertype, 7);
    EXPECT_EQ(codeOf([&] { db.getUsertype(u("fresh")); }), 3);
    EXPECT_FALSE(db.lookupUsertype(u("fresh"), nullptr)) << "a refused tag is not half made";
    {
        lumxmlref ref;
        EXPECT_TRUE(db.GetElementPCDATAUnique(nullptr, u("doc"), u("text"), &ref));
        EXPECT_EQ(codeOf([&] { ref.putAttributeValues(u("k"), u("v")); }), 3);
        lumxmlref loose;
        EXPECT_EQ(codeOf([&] { db.createUnlinkedXMLref(u("doc"), &loose); }), 3);
        lumxmlref none;
        EXPECT_FALSE(db.GetElementPCDATAUnique(nullptr, u("fresh"), u("text"), &none));
        EXPECT_FALSE(ref.GotoNamedParentTagChainStart(u("fresh")));
    }
    db.Close();
    EXPECT_EQ(xml_test::fileBytes(name), before);

    db.SetDatabaseName(bare.c_str());
    db.OpenReadOnly();
    EXPECT_FALSE(db.lookupUsertype(u("UnlinkedElements"), nullptr));
    EXPECT_FALSE(db.HasDocumentChain());
    db.Close();
    EXPECT_EQ(xml_test::fileBytes(bare), bareBefore);
    db.Open();
    db.Close();
    EXPECT_NE(xml_test::fileBytes(bare), bareBefore) << "opened to write, the chain is made";
    std::remove(bare.c_str());
}

// Opened to write, a database takes the temporary files of loads killed
// outright with it: those of its name and the pattern, that nobody holds.
TEST_F(LumXMLDbTest, OpeningToWriteRemovesTheLeftoversOfKilledLoads) {
    {
        LumXMLDb db(name.c_str());
        db.Create();
        db.Close();
    }
    const auto make = [](const std::string& path) { std::fclose(std::fopen(path.c_str(), "w")); };
    const std::vector<std::string> leftovers = {name + ".tmp.aB3dE9", name + ".tmp.zzzzzz"};
    const std::vector<std::string> kept = {name + ".tmp.abcde", name + ".tmp.abcdef.x", name + ".tmpabcdef",
                                           name + ".tmp.Held00"};
    for (const std::string& path : leftovers) make(path);
    for (const std::string& path : kept) make(path);
    const int holder = open(kept.back().c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_len = 1;
    ASSERT_EQ(fcntl(holder, F_OFD_SETLK, &lock), 0);
    LumXMLDb db(name.c_str());
    db.OpenReadOnly();
    db.Close();
    for (const std::string& path : leftovers) EXPECT_EQ(access(path.c_str(), F_OK), 0) << "a reader removed " << path;
    db.Open();
    db.Close();
    for (const std::string& path : leftovers) EXPECT_NE(access(path.c_str(), F_OK), 0) << path;
    for (const std::string& path : kept) {
        EXPECT_EQ(access(path.c_str(), F_OK), 0) << path;
        std::remove(path.c_str());
    }
    close(holder);
}

TEST_F(LumXMLDbTest, RootTagOnExistingChainAppendsADocument) {
    LumXMLDb db(name.c_str());
    db.Create();
    lumxmlref first, second, again;
    db.GetDocumentRootNode(u("one"), &first);
    db.GetDocumentRootNode(u("two"), &second);
    EXPECT_EQ(documentChains(db), 1u);
    EXPECT_EQ(second.getCurrentBasetype(), XML_BT_CHAIN_START);
    ASSERT_TRUE(second.GotoParentTagChainInBranch());
    EXPECT_EQ(second.getCurrentBasetype(), XML_BT_DOCUMENT);
    EXPECT_FALSE(second.GotoNextField());  // the newest document is last

    db.GetDocumentRootNode(nullptr, &again);
    ASSERT_TRUE(again.GotoChildTagChainStart());
    EXPECT_EQ(again.getCurrentLocation(), first.getCurrentLocation());

    // Binding a reference again releases its previous cursor.
    db.GetDocumentRootNode(nullptr, &again);
    first.Destroy();
    second.Destroy();
    again.Destroy();
    db.Close();
}

TEST_F(LumXMLDbTest, CloseIsRefusedWhileReferencesLive) {
    LumXMLDb db(name.c_str());
    db.Create();
    lumxmlref ref;
    db.GetDocumentRootNode(u("r"), &ref);
    EXPECT_EQ(codeOf([&] { db.Close(); }), 31);
    EXPECT_TRUE(db.isOpened());
    // Still whole: new tags, unlinked elements and writes work.
    EXPECT_NE(db.getUsertype(u("fresh")), 0);
    lumxmlref loose;
    db.createUnlinkedXMLref(u("loose"), &loose);
    ref.putPCDATA(u("text"));
    ref.Destroy();
    EXPECT_EQ(codeOf([&] { db.Close(); }), 31);
    loose.Destroy();
    db.Close();
    EXPECT_FALSE(db.isOpened());
}

TEST_F(LumXMLDbTest, PCDATALookupHitAndMiss) {
    LumXMLDb db(name.c_str());
    db.Create();
    {
        lumxmlref ref;
        db.GetDocumentRootNode(u("list"), &ref);
        ref.putElement(u("name"));
        ref.putPCDATA(u("x"));
        ref.GotoParentTagChainInBranch();
        ref.putElement(u("name"));
        ref.putPCDATA(u("y"));
    }
    lumxmlref found;
    EXPECT_FALSE(db.GetElementPCDATAUnique(u("list"), u("name"), u("z"), &found));
    EXPECT_FALSE(db.GetElementPCDATAUnique(u("list"), u("list"), u("x"), &found));
    EXPECT_EQ(found.getCurrentLocation(), 0u);
    EXPECT_EQ(found.getDatabase(), nullptr);

    ASSERT_TRUE(db.GetElementPCDATAUnique(nullptr, u("name"), u("y"), &found));
    EXPECT_EQ(found.getCurrentBasetype(), XML_BT_PCDATA);
    unsigned char buffer[8] = {};
    found.GetPCDATA(buffer, sizeof buffer);
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "y");

    const unsigned long at = found.getCurrentLocation();
    EXPECT_FALSE(db.GetElementPCDATAUnique(nullptr, u("name"), u("none"), &found));
    EXPECT_EQ(found.getCurrentLocation(), at);
    found.Destroy();
    db.Close();  // the misses left nothing open
    EXPECT_FALSE(db.GetElementPCDATAUnique(nullptr, u("name"), u("y"), &found));
}

TEST_F(LumXMLDbTest, UserTypesAndNames) {
    LumXMLDb db(name.c_str());
    db.Create();
    // Types are numbered in order of creation: a null tag takes no number.
    const int p = db.getUsertype(u("p"));
    EXPECT_EQ(db.getUsertype(nullptr), 0);
    EXPECT_EQ(db.getUsertype(u("q")), p + 1);

    const int a = db.getUsertype(u("alpha"));
    EXPECT_EQ(db.getUsertype(u("alpha")), a);
    EXPECT_NE(db.getUsertype(u("beta")), a);

    char buffer[16];
    unsigned long length = 99;
    db.getUsertypeName(a, buffer, sizeof buffer, &length);
    EXPECT_STREQ(buffer, "alpha");
    EXPECT_EQ(length, 5u);
    db.getUsertypeName(a, buffer, 3, &length);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(codeOf([&] { db.getUsertypeName(4000, buffer, sizeof buffer, &length); }), 14);
    db.Close();
}

TEST_F(LumXMLDbTest, CopiesShareOneOpenDatabase) {
    LumXMLDb original(name.c_str());
    original.Create();
    {
        LumXMLDb copy(original);
        EXPECT_TRUE(copy.isOpened());
        EXPECT_EQ(copy.getDatabaseHandle(), original.getDatabaseHandle());
        EXPECT_NE(copy.getDatabaseName(), original.getDatabaseName());
    }
    EXPECT_TRUE(original.isOpened());
    EXPECT_NE(original.getUsertype(u("still")), 0);

    LumXMLDb assigned;
    assigned = original;
    assigned.Close();
    EXPECT_FALSE(original.isOpened());
    original.Close();  // no second close

    // The last holder going closes the file: it can then be opened anew.
    {
        LumXMLDb holder(name.c_str());
        holder.Open();
        LumXMLDb other(holder);
        assigned = other;
    }
    EXPECT_TRUE(assigned.isOpened());
    LumXMLDb competitor(name.c_str());
    EXPECT_NE(codeOf([&] { competitor.Open(); }), 0);  // still held open
    assigned = LumXMLDb();
    LumXMLDb again(name.c_str());
    again.Open();
    again.Close();
}

TEST_F(LumXMLDbTest, SecondDocumentChainIsIllegal) {
    LumXMLDb db(name.c_str());
    db.Create();
    {
        lumxmlref ref;
        db.GetDocumentRootNode(u("a"), &ref);
    }
    appendRecord(db.getDatabaseHandle(), xmlTypeId(db.getUsertype(u("SOD")), XML_BT_STRING),
                 "DOCCHAIN", 8);
    lumxmlref ref;
    EXPECT_EQ(codeOf([&] { db.GetDocumentRootNode(nullptr, &ref); }), 29);
    EXPECT_EQ(codeOf([&] { db.GetDocumentRootNode(u("b"), &ref); }), 29);
    EXPECT_EQ(ref.getDatabase(), nullptr);
    db.Close();  // nothing of the failed calls is left open
}

TEST_F(LumXMLDbTest, SecondUnlinkedChainFailsOpenAndReleasesAll) {
    {
        LumXMLDb db(name.c_str());
        db.Create();
        const uint32_t zero = 0;
        appendRecord(db.getDatabaseHandle(),
                     xmlTypeId(db.getUsertype(u("UnlinkedElements")), XML_BT_CHAIN_START), &zero, 4);
        db.Close();
    }
    LumXMLDb db(name.c_str());
    EXPECT_EQ(codeOf([&] { db.Open(); }), 29);
    EXPECT_FALSE(db.isOpened());
    EXPECT_EQ(db.getDatabaseHandle(), nullptr);

    // The file is free again: the engine opens it with a dictionary of its own.
    LumDbParams params{};
    params.flags = 16;
    lumdb* raw = nullptr;
    ASSERT_EQ(LumDbCreate(&raw, 0, name.c_str(), &params), 0u);
    lumdct* dct = nullptr;
    EXPECT_EQ(LumDctCreate(&dct, raw), 0u);
    LumDctDestroy(dct);
    EXPECT_EQ(LumDbClose(raw), 0u);
}

}  // namespace
