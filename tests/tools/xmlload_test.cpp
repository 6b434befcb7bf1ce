#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/test_files.h"
#include "tests/tools/tool_runner.h"

namespace {

using tarntest::runOnTerminal;
using tarntest::runTool;
using tarntest::ToolResult;

std::string usageFor(const std::string& program) {
    return "Reads an XML data from a file and outputs XML data to\n"
           "a database file.\n"
           "\n"
           "Usage:\n"
           "  " + program + " xmlfile dbfile\n";
}

class XmlLoadTest : public ::testing::Test {
protected:
    std::string write(const char* name, const std::string& bytes) const {
        return tarn_test::writeText(tmp.file(name), bytes);
    }
    static std::string read(const std::string& p) { return tarn_test::readText(p); }
    static bool exists(const std::string& p) { return tarn_test::exists(p); }
    static long long sizeOf(const std::string& p) { return tarn_test::fileSize(p); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") names.push_back(n);
            }
            closedir(d);
        }
        return names;
    }
    static ToolResult load(const std::string& xml, const std::string& db) {
        return runTool({XMLLOAD_PATH, xml, db});
    }
    static ToolResult query(const std::string& db, const char* env, const char* tag,
                            const char* value) {
        return runTool({XMLQUERY_PATH, db, env, tag, value});
    }
    static std::string errorLine(const std::string& xml, const std::string& message) {
        return "Error reading XML file " + xml + ": " + message;
    }

    tarn_test::TempDir tmp;
    std::string dir = tmp.path();
};

// What a terminal shows once it has been sent `sent`: a carriage return
// goes back to the start of the line, a line feed on to the next. Trailing
// spaces and trailing empty lines left out.
std::vector<std::string> screen(const std::string& sent) {
    std::vector<std::string> lines(1);
    size_t column = 0;
    for (char c : sent) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            lines.emplace_back();
            column = 0;
        } else {
            std::string& line = lines.back();
            if (line.size() <= column) line.resize(column + 1, ' ');
            line[column++] = c;
        }
    }
    for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

const char kCatalog[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- a small catalog -->\n"
    "<catalog version=\"2\">\n"
    "  <book id=\"1\" lang=\"en\">\n"
    "    <title>Dune</title>\n"
    "    <author>Frank Herbert</author>\n"
    "    <note>Desert &amp; spice, <em>sand</em>worms</note>\n"
    "  </book>\n"
    "  <book id=\"2\" lang=\"fr\">\n"
    "    <title>L\xE2\x80\x99\xC3\x89tranger</title>\n"
    "    <author>Albert Camus</author>\n"
    "  </book>\n"
    "</catalog>\n";

TEST_F(XmlLoadTest, WrongArgumentCountPrintsUsageOnly) {
    std::string xml = write("in.xml", "<r/>");
    std::vector<std::vector<std::string>> calls = {
        {XMLLOAD_PATH},
        {XMLLOAD_PATH, xml},
        {XMLLOAD_PATH, xml, dir + "/out.db", dir + "/extra"},
    };
    for (const auto& argv : calls) {
        SCOPED_TRACE(argv.size() - 1);
        ToolResult r = runTool(argv);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, usageFor(XMLLOAD_PATH));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(entries(), std::vector<std::string>{"in.xml"});
    }
}

TEST_F(XmlLoadTest, UsageNamesTheProgramAsInvoked) {
    std::string program = XMLLOAD_PATH;
    std::string invoked = program.substr(0, program.rfind('/')) + "/./" +
                          program.substr(program.rfind('/') + 1);
    ToolResult r = runTool({invoked, "only-one"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, usageFor(invoked));
}

TEST_F(XmlLoadTest, WellFormedFileLoadsSilently) {
    std::string xml = write("catalog.xml", kCatalog);
    std::string db = dir + "/catalog.db";
    ToolResult r = load(xml, db);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read(xml), kCatalog);

    ToolResult q = query(db, "book", "title", "Dune");
    EXPECT_EQ(q.exitStatus, 0) << q.err;
    EXPECT_EQ(q.out,
              "<?xml version=\"1.0\"?><book id=\"1\" lang=\"en\">\n"
              "    <title>Dune</title>\n"
              "    <author>Frank Herbert</author>\n"
              "    <note>Desert &amp; spice, <em>sand</em>worms</note>\n"
              "  </book>\n");
    q = query(db, "book", "title", "L\xE2\x80\x99\xC3\x89tranger");
    EXPECT_EQ(q.out,
              "<?xml version=\"1.0\"?><book id=\"2\" lang=\"fr\">\n"
              "    <title>L&#8217;&#201;tranger</title>\n"
              "    <author>Albert Camus</author>\n"
              "  </book>\n");
}

TEST_F(XmlLoadTest, ExistingDatabaseFileIsReplaced) {
    std::string db = write("old.db", std::string(50000, 'x'));
    ToolResult r = load(write("in.xml", "<r><t>new</t></r>"), db);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(query(db, "r", "t", "new").out, "<?xml version=\"1.0\"?><r><t>new</t></r>\n");
}

TEST_F(XmlLoadTest, EmptyFileGivesADatabaseWithoutDocument) {
    std::string db = dir + "/empty.db";
    ToolResult r = load(write("empty.xml", ""), db);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_GE(sizeOf(db), 12288);
}

TEST_F(XmlLoadTest, MalformedFileReportsOneLineAndChangesNothing) {
    std::string xml = write("bad.xml", "<r>\n  <t>kept</t>\n  <u>broken</v>\n</r>\n");
    std::string db = dir + "/bad.db";
    ToolResult r = load(xml, db);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, errorLine(xml, "mismatched tag") + "\n");
    EXPECT_FALSE(exists(db));

    ASSERT_EQ(load(write("good.xml", "<r><t>old</t></r>"), db).exitStatus, 0);
    const std::string before = read(db);
    EXPECT_EQ(load(xml, db).err, errorLine(xml, "mismatched tag") + "\n");
    EXPECT_EQ(read(db), before);
    // Nothing but the files of the test itself.
    EXPECT_EQ(entries().size(), 3u);
}

TEST_F(XmlLoadTest, MissingInputLeavesTheDatabaseFileUntouched) {
    std::string xml = dir + "/missing.xml";
    std::string db = write("precious.db", "not to be replaced");
    ToolResult r = load(xml, db);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(errorLine(xml, "CreateFile() failed"), 0), 0u) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    EXPECT_EQ(read(db), "not to be replaced");

    std::string fresh = dir + "/never.db";
    load(xml, fresh);
    EXPECT_FALSE(exists(fresh));
}

TEST_F(XmlLoadTest, DirectoryAsInputIsAnOpenFailure) {
    ToolResult r = load(dir, dir + "/out.db");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err.rfind(errorLine(dir, "CreateFile() failed"), 0), 0u) << r.err;
    EXPECT_FALSE(exists(dir + "/out.db"));
}

TEST_F(XmlLoadTest, DatabaseInAMissingFolderFails) {
    std::string xml = write("in.xml", "<r/>");
    ToolResult r = load(xml, dir + "/no/such/folder/out.db");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(errorLine(xml, "CreateFile() failed"), 0), 0u) << r.err;
}

TEST_F(XmlLoadTest, SamePathForBothFilesFailsAndKeepsTheXml) {
    std::string xml = write("self.xml", kCatalog);
    ToolResult r = load(xml, xml);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err.rfind(errorLine(xml, "CreateFile() failed"), 0), 0u) << r.err;
    EXPECT_EQ(read(xml), kCatalog);
}

TEST_F(XmlLoadTest, DocumentSpanningManyChunksRoundTrips) {
    std::string body;
    for (int i = 0; i < 400; ++i) {
        body += "<item n=\"" + std::to_string(i) + "\"><name>item " + std::to_string(i) +
                " \xC3\xA4</name></item>\n";
    }
    std::string xml = write("many.xml", "<list>\n" + body + "</list>\n");
    std::string db = dir + "/many.db";
    ASSERT_EQ(load(xml, db).exitStatus, 0);
    ToolResult q = query(db, "item", "name", "item 399 \xC3\xA4");
    EXPECT_EQ(q.out, "<?xml version=\"1.0\"?><item n=\"399\"><name>item 399 &#228;</name></item>\n");
}

// On a terminal a load that has run past the delay (shortened here through
// the test hook) shows a line of progress, rewritten in place and erased at
// the end, before the error line if there is one. A short load shows
// nothing, and so does any load whose standard error is not a terminal.
TEST_F(XmlLoadTest, ProgressIsShownOnATerminalAndErasedBeforeAnError) {
    std::string body;
    while (body.size() < 200 * 1024) body += "<item><name>a name</name><price>1.50</price></item>\n";
    const std::string good = write("good.xml", "<list>\n" + body + "</list>\n");
    const std::string bad = write("bad.xml", "<list>\n" + body + "</wrong>\n");
    const std::string small = write("small.xml", kCatalog);
    const std::string db = dir + "/out.db";

    ToolResult quiet = runOnTerminal({XMLLOAD_PATH, small, db});
    setenv("TARN_PROGRESS_AFTER_MS", "0", 1);
    ToolResult shown = runOnTerminal({XMLLOAD_PATH, good, db});
    ToolResult failed = runOnTerminal({XMLLOAD_PATH, bad, db});
    ToolResult piped = load(good, db);
    unsetenv("TARN_PROGRESS_AFTER_MS");

    EXPECT_EQ(quiet.exitStatus, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(shown.exitStatus, 0);
    EXPECT_NE(shown.out.find("\r0.2 of 0.2 MiB parsed (100%)"), std::string::npos) << shown.out;
    EXPECT_EQ(screen(shown.out), std::vector<std::string>{}) << shown.out;
    EXPECT_EQ(failed.exitStatus, 1);
    EXPECT_NE(failed.out.find(" MiB parsed ("), std::string::npos) << failed.out;
    EXPECT_EQ(screen(failed.out), std::vector<std::string>{errorLine(bad, "mismatched tag")}) << failed.out;
    EXPECT_EQ(piped.exitStatus, 0);
    EXPECT_EQ(piped.err, "");
}

}  // namespace
