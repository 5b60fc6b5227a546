// XML document access: loading, the error handler's reports, refusal of external resources, look-ups.
#include "test_support.h"
#include "xml/brix_xml.h"

#include <string>
#include <vector>

using xercesc::DOMElement;

namespace {

struct CAPTURED {
    std::string out;
    std::string err;
    std::string condition; // condition text of the report f ended with; empty when it ended normally
};

// Runs f with standard output and standard error captured (no assertions inside f: gtest prints its
// failures on standard output).
template <typename F> CAPTURED capture_output(F&& f) {
    CAPTURED c;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
        f();
    } catch (const BRIX_INTERNAL_ERROR& e) {
        c.condition = e.condition();
    }
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    return c;
}

const char* const DOCUMENT = "<?xml version=\"1.0\"?>\n"
                             "<family name=\"GRANITE\" empty=\"\">\n"
                             "  <bt_format>\n"
                             "    <block name=\"A\"/>\n"
                             "    <block name=\"B\"\n"
                             "           type=\"Static\"/>\n"
                             "  </bt_format>\n"
                             "  <block_info name=\"A\">\n"
                             "    <inner><block name=\"C\"/></inner>\n"
                             "  </block_info>\n"
                             "</family>\n";

} // namespace

TEST(BrixXml, LoadsDocumentAndLooksUpAttributesElementsAndLines) {
    TEMP_DIR dir;
    std::string file = dir.file("doc.xml");
    write_text_file(file, DOCUMENT);
    BRIX_DOM dom;
    EXPECT_EQ(nullptr, dom.get_error_handler());
    DOMElement* root = dom.load_document(file);
    ASSERT_NE(nullptr, root);

    // A missing attribute and an empty one both read as the empty string.
    EXPECT_EQ("GRANITE", BRIX_DOM::get_attribute_string_from_dom_node(root, "name"));
    EXPECT_EQ("", BRIX_DOM::get_attribute_string_from_dom_node(root, "empty"));
    EXPECT_EQ("", BRIX_DOM::get_attribute_string_from_dom_node(root, "config_data_width"));

    // Every descendant with the tag, in document order, from the document or from one element's subtree.
    std::vector<DOMElement*> blocks = BRIX_DOM::get_elements_by_tag_name(root->getOwnerDocument(), "block");
    ASSERT_EQ(3u, blocks.size());
    EXPECT_EQ("A", BRIX_DOM::get_attribute_string_from_dom_node(blocks[0], "name"));
    EXPECT_EQ("B", BRIX_DOM::get_attribute_string_from_dom_node(blocks[1], "name"));
    EXPECT_EQ("C", BRIX_DOM::get_attribute_string_from_dom_node(blocks[2], "name"));
    std::vector<DOMElement*> formats = BRIX_DOM::get_elements_by_tag_name(root, "bt_format");
    ASSERT_EQ(1u, formats.size());
    EXPECT_EQ(2u, BRIX_DOM::get_elements_by_tag_name(formats[0], "block").size());
    EXPECT_TRUE(BRIX_DOM::get_elements_by_tag_name(formats[0], "Block").empty()); // tags are case-sensitive

    // Lines of start tags: empty and non-empty elements, and a start tag spread over two lines (its end).
    EXPECT_EQ(2u, BRIX_DOM::get_line(root));
    EXPECT_EQ(3u, BRIX_DOM::get_line(formats[0]));
    EXPECT_EQ(4u, BRIX_DOM::get_line(blocks[0]));
    EXPECT_EQ(6u, BRIX_DOM::get_line(blocks[1]));
    EXPECT_EQ(9u, BRIX_DOM::get_line(blocks[2]));
    EXPECT_EQ("element block name=\"B\", line 6", BRIX_DOM::describe_element(blocks[1]));
    EXPECT_EQ("element bt_format, line 3", BRIX_DOM::describe_element(formats[0]));
}

TEST(BrixXml, TextContentAndNarrowStrings) {
    TEMP_DIR dir;
    std::string file = dir.file("text.xml");
    write_text_file(file, "<r><a> x y </a><b/><c>gr\xc3\xbc\xc3\x9f</c></r>");
    BRIX_DOM dom;
    DOMElement* root = dom.load_document(file);
    EXPECT_EQ(" x y ", BRIX_DOM::get_text_from_dom_node(BRIX_DOM::get_elements_by_tag_name(root, "a")[0]));
    EXPECT_EQ("", BRIX_DOM::get_text_from_dom_node(BRIX_DOM::get_elements_by_tag_name(root, "b")[0]));
    // Non-ASCII text survives the round trip as UTF-8.
    EXPECT_EQ("gr\xc3\xbc\xc3\x9f",
              BRIX_DOM::get_text_from_dom_node(BRIX_DOM::get_elements_by_tag_name(root, "c")[0]));
}

TEST(BrixXml, NotWellFormedReportsFileLineColumnAndStops) {
    TEMP_DIR dir;
    std::string file = dir.file("broken.xml");
    write_text_file(file, "<family>\n  <bt_format>\n  </family>\n");
    BRIX_DOM dom;
    CAPTURED c = capture_output([&] { dom.load_document(file); });
    EXPECT_EQ("Error during XML parsing", c.condition);
    EXPECT_EQ(0u, c.err.find("Fatal Error at file \"" + file + "\", line 3, column "));
    EXPECT_NE(std::string::npos, c.err.find("\n   Message: "));
    EXPECT_EQ("", c.out);
    ASSERT_NE(nullptr, dom.get_error_handler());
    EXPECT_TRUE(dom.get_error_handler()->get_error_flag());
    dom.get_error_handler()->resetErrors();
    EXPECT_FALSE(dom.get_error_handler()->get_error_flag());
}

TEST(BrixXml, RecoverableErrorAlsoStops) {
    // A validity error against the internal DTD subset (validation is automatic with a DOCTYPE) is an error,
    // not a fatal error: "error" goes to standard output and the build still stops.
    TEMP_DIR dir;
    std::string file = dir.file("invalid.xml");
    write_text_file(file, "<!DOCTYPE r [<!ELEMENT r EMPTY><!ATTLIST r a CDATA #REQUIRED>]>\n<r/>\n");
    BRIX_DOM dom;
    CAPTURED c = capture_output([&] { dom.load_document(file); });
    EXPECT_EQ("Error during XML parsing", c.condition);
    EXPECT_EQ("error\n", c.out);
    EXPECT_EQ(0u, c.err.find("Error at file \"" + file + "\", line 2, column "));
}

TEST(BrixXml, MissingFileStops) {
    TEMP_DIR dir;
    BRIX_DOM dom;
    CAPTURED c = capture_output([&] { dom.load_document(dir.file("none.xml")); });
    // The parser reports the file it cannot open and builds no document.
    EXPECT_EQ("xml != NULL", c.condition);
    EXPECT_NE(std::string::npos, c.err.find("Fatal Error at file ")) << c.out << c.err;
}

// A document may not make the tool read another file or reach the network. Each case refers to a file that
// holds a marker; the marker must not reach the document, and the load must stop.
TEST(BrixXml, ExternalResourcesAreRefused) {
    struct CASE {
        const char* what;
        const char* document; // %s stands for the marker file
    };
    const CASE cases[] = {
        {"external general entity", "<!DOCTYPE r [<!ENTITY x SYSTEM \"%s\">]>\n<r a=\"1\">&x;</r>\n"},
        {"external parameter entity", "<!DOCTYPE r [<!ENTITY % p SYSTEM \"%s\"> %p;]>\n<r a=\"1\">&x;</r>\n"},
        {"external DTD", "<!DOCTYPE r SYSTEM \"%s\">\n<r a=\"1\">&x;</r>\n"},
        {"network DTD", "<!DOCTYPE r SYSTEM \"http://127.0.0.1:9/%s\">\n<r a=\"1\"/>\n"},
    };
    const std::string marker = "MARKER-7f3a9c";
    TEMP_DIR dir;
    std::string marker_file = dir.file("marker.ent");
    // Read as an entity it is the marker text; read as a DTD it declares x as the marker.
    write_text_file(marker_file, "<!ENTITY x \"" + marker + "\">");
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::string document = c.document;
        document.replace(document.find("%s"), 2, marker_file);
        std::string file = dir.file("doc.xml");
        write_text_file(file, document);
        BRIX_DOM dom;
        std::string text;
        CAPTURED out = capture_output([&] {
            // What the parser built, flag or not, must not hold the marker.
            xercesc::DOMDocument* xml = dom.parse_xml_file(file);
            if (xml && xml->getDocumentElement())
                text = BRIX_DOM::get_text_from_dom_node(xml->getDocumentElement()) +
                       BRIX_DOM::get_attribute_string_from_dom_node(xml->getDocumentElement(), "a");
            dom.load_document(file);
        });
        EXPECT_EQ("Error during XML parsing", out.condition);
        EXPECT_EQ(std::string::npos, text.find(marker));
        EXPECT_EQ(std::string::npos, out.out.find(marker));
        EXPECT_EQ(std::string::npos, out.err.find(marker));
        EXPECT_NE(std::string::npos, out.err.find("is not read: XML inputs may not refer to other files"))
            << out.err;
    }
}

TEST(BrixXml, EntityExpansionIsBounded) {
    // Each entity expands to ten of the one before: 10^10 characters if nothing stopped it.
    std::string document = "<!DOCTYPE r [<!ELEMENT r (#PCDATA)>\n<!ENTITY a0 \"xxxxxxxxxx\">\n";
    for (int i = 1; i < 10; ++i) {
        std::string previous = "&a" + std::to_string(i - 1) + ";";
        std::string ten;
        for (int k = 0; k < 10; ++k)
            ten += previous;
        document += "<!ENTITY a" + std::to_string(i) + " \"" + ten + "\">\n";
    }
    document += "]>\n<r>&a9;</r>\n";
    TEMP_DIR dir;
    std::string file = dir.file("expand.xml");
    write_text_file(file, document);
    BRIX_DOM dom;
    CAPTURED c = capture_output([&] { dom.load_document(file); });
    EXPECT_EQ("Error during XML parsing", c.condition);
    EXPECT_NE(std::string::npos, c.err.find("Fatal Error at file \"" + file + "\"")) << c.err;

    // Predefined entities and character references are not expansions: many of them still load.
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += "&amp;&#65;";
    write_text_file(file, "<r a=\"" + text + "\">" + text + "</r>");
    BRIX_DOM plain;
    EXPECT_EQ(40000u, BRIX_DOM::get_text_from_dom_node(plain.load_document(file)).size());
}
