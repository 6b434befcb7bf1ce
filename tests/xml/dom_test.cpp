#include "xml/dom.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "tests/test_files.h"
#include "xml/lumxmldb.h"
#include "xml/lumxmlexception.h"
#include "xml/lumxmlref.h"
#include "xml/sax/drivertext.h"
#include "xml/sax/handlerorlo.h"

namespace {

std::string name(const XMLString& text) {
    return text.ptr() == nullptr ? "(empty)" : reinterpret_cast<const char*>(text.ptr());
}

class DomTest : public ::testing::Test {
protected:
    void SetUp() override {
        store("<a>t<b/></a>");
    }

    void store(const std::string& xml) {
        const std::string path = dir + "/doc.xml";
        tarn_test::writeText(path, xml);
        LumXMLSAX::DriverText text;
        LumXMLSAX::HandlerOrlo handler(db.c_str());
        text.setDocumentHandler(&handler);
        text.setErrorHandler(&handler);
        text.parse(path.c_str());
    }

    std::string fileBytes() const { return tarn_test::readText(db); }

    tarn_test::TempDir tmp;
    std::string dir = tmp.path();
    std::string db = dir + "/doc.db";
};

TEST_F(DomTest, TypesNamesAndMovesOnASmallDocument) {
    XMLDOMObject dom(db.c_str());
    EXPECT_EQ(dom.Open(), 0);
    {
        DocumentImpl doc = dom.getOwnerDocument();
        EXPECT_EQ(doc.getNodeType(), 9);
        EXPECT_EQ(name(doc.getNodeName()), "#document");
        EXPECT_TRUE(doc.parentNodeGet().isNull());

        const NodeImpl text = doc.firstChildGet();
        ASSERT_FALSE(text.isNull());
        EXPECT_EQ(text.getNodeType(), 3);
        EXPECT_EQ(name(text.getNodeName()), "#text");
        EXPECT_EQ(text.parentNodeGet().getNodeType(), 9);
        EXPECT_TRUE(text.firstChildGet().isNull());
        EXPECT_TRUE(text.lastChildGet().isNull());
        EXPECT_FALSE(text.hasChildNodes());

        ElementImpl b = doc.getDocumentElement();
        ASSERT_FALSE(b.isNull());
        EXPECT_EQ(b.getNodeType(), 1);
        EXPECT_EQ(name(b.getTagName()), "b");
        EXPECT_EQ(name(b.nodeNameGet()), "b");
        EXPECT_EQ(name(b.getNodeName()), "b");
        // Reading the name leaves the node where it was.
        EXPECT_EQ(b.getNodeType(), 1);
        EXPECT_EQ(name(b.nodeValueGet()), "");
        EXPECT_EQ(b.parentNodeGet().getNodeType(), 9);
        EXPECT_TRUE(b.firstChildGet().isNull());
        EXPECT_FALSE(b.hasChildNodes());

        EXPECT_EQ(name(doc.lastChildGet().getNodeName()), "b");
        EXPECT_TRUE(doc.hasChildNodes());
    }
    EXPECT_EQ(dom.Close(), 0);
}

TEST_F(DomTest, CopiesAndAssignmentStandWhereTheSourceStood) {
    XMLDOMObject dom(db.c_str());
    dom.Open();
    {
        DocumentImpl doc = dom.getOwnerDocument();
        NodeImpl node = doc.firstChildGet();
        const NodeImpl copy(node);
        node = doc.lastChildGet();
        EXPECT_EQ(copy.getNodeType(), 3);
        EXPECT_EQ(node.getNodeType(), 1);
        NodeImpl none = doc.firstChildGet().firstChildGet();
        ASSERT_TRUE(none.isNull());
        node = none;
        EXPECT_TRUE(node.isNull());
        EXPECT_EQ(node.getNodeType(), NodeImpl::kOtherNode);
        DocumentImpl other;
        other = doc;
        EXPECT_EQ(other.getNodeType(), 9);
        EXPECT_EQ(name(other.createElement(XMLString("viaCopy")).getTagName()), "viaCopy");
    }
    dom.Close();
}

TEST_F(DomTest, ElementsWithAttributesAndOtherFields) {
    store("<a>t<c k=\"v\">u</c></a>");
    XMLDOMObject dom(db.c_str());
    dom.Open();
    {
        DocumentImpl doc = dom.getOwnerDocument();
        const NodeImpl c = doc.lastChildGet();
        EXPECT_EQ(c.getNodeType(), 2);
        EXPECT_EQ(name(c.getNodeName()), "c");
        // The first field of c's chain is the attribute name "k".
        const NodeImpl attribute = c.firstChildGet();
        EXPECT_EQ(attribute.getNodeType(), NodeImpl::kOtherNode);
        EXPECT_EQ(name(attribute.getNodeName()), "");
        EXPECT_EQ(c.lastChildGet().getNodeType(), 3);
    }
    dom.Close();

    LumXMLDb raw(db.c_str(), 64);
    raw.Open();
    {
        lumxmlref ref;
        raw.GetDocumentRootNode(nullptr, &ref);
        ASSERT_TRUE(ref.GotoChildTagChainStart());
        const NodeImpl start(ref);
        EXPECT_EQ(start.getNodeType(), NodeImpl::kOtherNode);
        EXPECT_EQ(name(start.getNodeName()), "");
        ElementImpl notAnElement(ref);
        EXPECT_EQ(name(notAnElement.getTagName()), "");
    }
    raw.Close();
}

TEST_F(DomTest, EmptyNodesAnswerWithoutADatabase) {
    NodeImpl empty;
    EXPECT_FALSE(empty.isNull());
    EXPECT_EQ(empty.getNodeType(), NodeImpl::kOtherNode);
    EXPECT_EQ(name(empty.getNodeName()), "");
    EXPECT_TRUE(empty.parentNodeGet().isNull());
    EXPECT_TRUE(empty.firstChildGet().isNull());
    EXPECT_FALSE(empty.hasChildNodes());
    empty.setNull(true);
    EXPECT_TRUE(empty.isNull());
    DocumentImpl orphan;
    EXPECT_TRUE(orphan.createElement(XMLString("x")).isNull());
    EXPECT_TRUE(orphan.getDocumentElement().isNull());
    ElementImpl element;
    EXPECT_EQ(name(element.getTagName()), "");
}

TEST_F(DomTest, CreateElementStandsOnThePointerToItsChain) {
    XMLDOMObject dom(db.c_str());
    dom.Open();
    {
        DocumentImpl doc = dom.getOwnerDocument();
        ElementImpl made = doc.createElement(XMLString("fresh"));
        EXPECT_EQ(made.getNodeType(), 1);
        EXPECT_EQ(name(made.getTagName()), "fresh");
        EXPECT_EQ(name(made.getNodeName()), "fresh");
        EXPECT_FALSE(made.hasChildNodes());
        // Unlinked elements belong to no document.
        EXPECT_TRUE(made.parentNodeGet().isNull());
        EXPECT_EQ(name(doc.createElement(XMLString()).getTagName()), "<?unknown?>");
        // The stored document is untouched.
        EXPECT_EQ(name(doc.getDocumentElement().getTagName()), "b");
    }
    dom.Close();
}

// Opens the file, looks at the document, optionally tries every changing
// operation, closes, and returns the file's bytes.
std::string cycle(const std::string& path, bool change) {
    {
        XMLDOMObject dom(path.c_str());
        dom.Open();
        {
            DocumentImpl doc = dom.getOwnerDocument();
            NodeImpl text = doc.firstChildGet();
            ElementImpl b = doc.getDocumentElement();
            if (change) {
                NodeImpl none;
                none.setNull(true);
                EXPECT_FALSE(doc.appendChild(b).isNull());
                EXPECT_EQ(doc.appendChild(b).getNodeType(), NodeImpl::kOtherNode);
                EXPECT_EQ(doc.insertBefore(b, none).getNodeType(), NodeImpl::kOtherNode);
                EXPECT_EQ(doc.insertBefore(b, text).getNodeType(), NodeImpl::kOtherNode);
                EXPECT_EQ(doc.replaceChild(&b, &text), nullptr);
                EXPECT_EQ(doc.removeChild(&text), nullptr);
                EXPECT_EQ(b.cloneNode(true), nullptr);
                EXPECT_EQ(doc.cloneNode(false), nullptr);
                b.nodeValueSet(XMLString("changed"));
                EXPECT_EQ(name(doc.firstChildGet().getNodeName()), "#text");
                EXPECT_EQ(name(doc.getDocumentElement().getTagName()), "b");
            }
        }
        dom.Close();
    }
    return tarn_test::readText(path);
}

TEST_F(DomTest, ChangingOperationsLeaveTheFileByteIdentical) {
    const std::string looked = cycle(db, false);
    const std::string changed = cycle(db, true);
    EXPECT_EQ(looked.size(), changed.size());
    EXPECT_TRUE(looked == changed);
}

TEST_F(DomTest, DatabaseObjectLifecycle) {
    XMLDOMObject unnamed;
    EXPECT_THROW(unnamed.Open(), LumXMLException);
    EXPECT_EQ(unnamed.Close(), 0);
    XMLDOMObject missing((dir + "/missing.db").c_str());
    EXPECT_THROW(missing.Open(), LumXMLException);

    XMLDOMObject created((dir + "/new.db").c_str());
    EXPECT_EQ(created.Create(), 0);
    EXPECT_EQ(created.Create(), 0);
    EXPECT_EQ(created.Close(), 0);
    EXPECT_EQ(created.Open(), 0);
    {
        // A new database has no document; asking for one makes an empty one,
        // handed out as the document node from the first call on.
        DocumentImpl doc = created.getOwnerDocument();
        EXPECT_EQ(doc.getNodeType(), 9);
        EXPECT_EQ(name(doc.getNodeName()), "#document");
        EXPECT_FALSE(doc.hasChildNodes());
        EXPECT_EQ(created.getOwnerDocument().getNodeType(), 9);
    }
    EXPECT_EQ(created.Close(), 0);

    XMLDOMObject dom(db.c_str());
    dom.Open();
    {
        NodeImpl held = dom.getOwnerDocument();
        // A live node holds a cursor: the database refuses to close.
        try {
            dom.Close();
            FAIL() << "closed under a live node";
        } catch (const LumXMLException& e) {
            EXPECT_EQ(e.getCode(), 31);
        }
    }
    {
        XMLDOMObject copy(dom);
        EXPECT_EQ(copy.getOwnerDocument().getNodeType(), 9);
    }
    // Dropping a copy does not close the shared database.
    EXPECT_EQ(dom.getOwnerDocument().getNodeType(), 9);
    XMLDOMObject assigned;
    assigned = dom;
    EXPECT_EQ(assigned.Close(), 0);
    // Closed for both; closing again is harmless.
    EXPECT_EQ(dom.Close(), 0);
    EXPECT_EQ(dom.Open(), 0);
    EXPECT_EQ(dom.getOwnerDocument().firstChildGet().getNodeType(), 3);
}

}  // namespace
