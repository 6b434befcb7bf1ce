#include <gtest/gtest.h>

#include <cstring>

#include "engine/tarn20.h"
#include "xml/lumxmlexception.h"
#include "xml/xmlstring.h"

namespace {

const unsigned char* u(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

std::string text(const XMLString& s) { return s.empty() ? "<empty>" : std::string(s); }

TEST(XMLStringTest, EmptyIsDistinctFromNoCharacters) {
    EXPECT_TRUE(XMLString().empty());
    EXPECT_EQ(XMLString().ptr(), nullptr);
    EXPECT_TRUE(XMLString(static_cast<const char*>(nullptr)).empty());
    EXPECT_TRUE(XMLString(static_cast<const unsigned char*>(nullptr)).empty());

    XMLString blank("");
    ASSERT_FALSE(blank.empty());
    EXPECT_EQ(blank.ptr()[0], 0);

    EXPECT_TRUE(XMLString(XMLString()).empty());
    EXPECT_FALSE(XMLString(blank).empty());
    EXPECT_NE(XMLString(blank).ptr(), blank.ptr());
}

TEST(XMLStringTest, SetReplacesOrEmpties) {
    XMLString s("old");
    s.set(u("new"));
    EXPECT_EQ(text(s), "new");
    s.set(static_cast<const unsigned char*>(nullptr));
    EXPECT_TRUE(s.empty());

    s.set('x');
    EXPECT_EQ(text(s), "x");
    s.set(XMLString());
    EXPECT_TRUE(s.empty());
    s.set(XMLString("copy"));
    EXPECT_EQ(text(s), "copy");

    // The source may lie inside the string's own buffer.
    s.set(s.ptr() + 2);
    EXPECT_EQ(text(s), "py");
}

TEST(XMLStringTest, AppendVariants) {
    XMLString s;
    s.append(u("abcdef"), 3);
    EXPECT_EQ(text(s), "abc");

    XMLString shortSource;
    shortSource.append(u("a"), 3);
    EXPECT_EQ(text(shortSource), "a");

    // Only n bytes are read: the source needs no terminator within them.
    const unsigned char unterminated[4] = {'w', 'x', 'y', 'z'};
    s.append(unterminated, 2);
    EXPECT_EQ(text(s), "abcwx");

    XMLString chars;
    chars.set('x');
    chars.append('y');
    EXPECT_EQ(text(chars), "xy");

    XMLString fromEmpty;
    fromEmpty.append('q');
    EXPECT_EQ(text(fromEmpty), "q");
    fromEmpty.append(u("rs"));
    EXPECT_EQ(text(fromEmpty), "qrs");

    XMLString nothing;
    nothing.append(u(""), 0);
    EXPECT_FALSE(nothing.empty());
    EXPECT_EQ(text(nothing), "");

    XMLString self("ab");
    self.append(self.ptr());
    EXPECT_EQ(text(self), "abab");

    s.clear();
    EXPECT_TRUE(s.empty());
}

TEST(XMLStringTest, CompareFollowsStrcmpOnUnsignedBytes) {
    EXPECT_EQ(XMLString::compare(u("abc"), "abc"), 0);
    EXPECT_LT(XMLString::compare(u("abc"), "abd"), 0);
    EXPECT_GT(XMLString::compare(u("abd"), u("abc")), 0);
    EXPECT_LT(XMLString::compare(u("ab"), u("abc")), 0);
    // Bytes from 0x80 up sort after ASCII.
    EXPECT_GT(XMLString::compare(u("\xc3\xa9"), u("z")), 0);

    XMLString s("m");
    EXPECT_EQ(s.compare(u("m")), 0);
    EXPECT_GT(s.compare(u("a")), 0);
    EXPECT_LT(s.compare(u("n")), 0);
    EXPECT_EQ(XMLString().compare(u("")), 0);
}

TEST(XMLStringTest, AssignmentReturnsTheSource) {
    XMLString a("first");
    const XMLString b("second");
    const XMLString& result = (a = b);
    EXPECT_EQ(&result, &b);
    EXPECT_NE(a.ptr(), b.ptr());
    EXPECT_EQ(XMLString::compare(a.ptr(), b.ptr()), 0);

    const unsigned char* raw = u("raw");
    EXPECT_EQ((a = raw), raw);
    EXPECT_EQ(text(a), "raw");

    a = a;
    EXPECT_EQ(text(a), "raw");
    a = XMLString();
    EXPECT_TRUE(a.empty());

    XMLString held("conv");
    EXPECT_STREQ(static_cast<const char*>(held), "conv");
    EXPECT_EQ(static_cast<const unsigned char*>(held), held.ptr());
}

TEST(LumXMLExceptionTest, MessagesByRange) {
    EXPECT_STREQ(LumXMLException(10).message(), LumErrorMessage(10));
    EXPECT_STREQ(LumXMLException(10).message(), "Supplied buffer for fetch operation is too small");
    EXPECT_STREQ(LumXMLException(0x3504).message(), LumErrorMessage(0x3504));
    EXPECT_STREQ(LumXMLException(-1).message(), LumErrorMessage(-1));

    EXPECT_STREQ(LumXMLException(0x3505).message(), "LUMXML: Unknown error");
    EXPECT_STREQ(LumXMLException(XMLERR_NO_DATABASE_NAME).message(), "LUMXML: Unknown error");
    EXPECT_STREQ(LumXMLException(0x800A).message(), "LUMXML: Unknown error");
    EXPECT_STREQ(LumXMLException(0x7FFF).message(), "LUMXML: Unknown error");

    EXPECT_STREQ(LumXMLException(XMLERR_DOCTYPE_MISSING).message(),
                 "LUMXML: !DOCTYPE missing in dictionary");
    EXPECT_STREQ(LumXMLException(XMLERR_PARSE).message(), "LUMXML: Error parsning");
    EXPECT_STREQ(LumXMLException(XMLERR_UNKNOWN_TAG).message(), "LUMXML: Unknown tag");
    EXPECT_STREQ(LumXMLException(XMLERR_QUERY_NOT_FOUND).message(), "XML: Query item not found");
    EXPECT_STREQ(LumXMLException(XMLERR_QUERY_NOT_UNIQUE).message(), "XML: Query item not unique");
}

TEST(LumXMLExceptionTest, CopiesCodeAndTravelsByValue) {
    LumXMLException e(XMLERR_PARSE);
    LumXMLException& self = (e = LumXMLException(31));
    EXPECT_EQ(&self, &e);
    EXPECT_EQ(e.getCode(), 31);
    try {
        throw LumXMLException(XMLERR_NO_DATABASE_NAME);
    } catch (const LumXMLException& caught) {
        EXPECT_EQ(caught.getCode(), 0x800B);
    }
}

}  // namespace
