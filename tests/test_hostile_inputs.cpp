// Inputs that fuzzing or hostile use showed to be costly or harmful, each in its smallest form: every one
// must end in a failure report that says why, within bounded memory, instead of a large allocation or a
// crash.
#include "test_support.h"
#include "xml/brix_xml.h"

#include <string>

namespace {

std::string repeat(const std::string& text, int times) {
    std::string out;
    out.reserve(text.size() * static_cast<size_t>(times));
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// Nested entities: a holds `leaf`, every further level refers ten times to the one before, and the document
// element refers `top` times to the last level.
std::string entity_document(const std::string& leaf, int levels, int top,
                            const std::string& declarations = "") {
    std::string doctype = "<!DOCTYPE BCM [" + declarations + "<!ENTITY e0 \"" + leaf + "\">";
    for (int level = 1; level < levels; ++level)
        doctype += "<!ENTITY e" + std::to_string(level) + " \"" +
                   repeat("&e" + std::to_string(level - 1) + ";", 10) + "\">";
    doctype += "]>";
    return doctype + "<BCM>" + repeat("&e" + std::to_string(levels - 1) + ";", top) + "</BCM>\n";
}

// A document whose root carries `attributes` attributes, each made of `refs` references to one entity of
// `entity_size` characters.
std::string attribute_document(size_t entity_size, int attributes, int refs,
                               const std::string& declarations = "") {
    std::string document = "<?xml version=\"1.0\"?>\n<!DOCTYPE family [" + declarations + "<!ENTITY e \"" +
                           std::string(entity_size, 'x') + "\">]>\n<family name=\"GRANITE\"";
    for (int i = 0; i < attributes; ++i)
        document += " a" + std::to_string(i) + "=\"" + repeat("&e;", refs) + "\"";
    return document + ">\n</family>\n";
}

// Elements nested `depth` deep below the root.
std::string nested_document(int depth) {
    return "<?xml version=\"1.0\"?>\n<family>\n" + repeat("<a>", depth) + repeat("</a>", depth) +
           "</family>\n";
}

} // namespace

// Each hostile document is refused as a parse error that names the file and the line where the parser
// stopped and says which limit it met, and the parser's memory stays bounded on the way there.
TEST(HostileInputs, XmlDocumentsOverTheLoaderLimitsAreRefused) {
    struct CASE {
        const char* what;
        std::string document;
        const char* message;
        unsigned long long line; // where the parse stops
    };
    const CASE cases[] = {
        // 2000 characters expanded a thousand times (1111 expansions, well within the limit on their
        // number): 2 million characters of element text from a 2 KB file.
        {"entity text in an element", entity_document(std::string(2000, 'x'), 4, 1, "<!ELEMENT BCM ANY>"),
         "The document's text grows past ", 1},
        // 9000 references to a 50 000-character entity in one attribute value: 450 million characters,
        // built before any callback sees the attribute.
        {"entity text in one attribute", attribute_document(50000, 1, 9000),
         "The document's text grows past ", 3},
        // 14 references in each of 700 attributes of one element: each value stays below the text limit, but
        // together they come to 400 million characters before the element is handed on.
        {"entity text spread over many attributes", attribute_document(40000, 700, 14),
         "The document needs more than ", 3},
        // Deep nesting: the release of such a document used to overflow the stack.
        {"elements nested 300 deep", nested_document(300),
         "The document's elements nest deeper than 256 levels", 3},
        {"elements nested 200 000 deep", nested_document(200000),
         "The document's elements nest deeper than 256 levels", 3},
    };
    TEMP_DIR dir;
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::string file = dir.file("hostile.xml");
        write_text_file(file, c.document);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        BRIX_DOM dom;
        BRIX_INTERNAL_ERROR error = catch_brix_error([&] { dom.load_document(file); });
        testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ("Error during XML parsing", error.condition());
        const std::string fatal =
            "Fatal Error at file \"" + file + "\", line " + std::to_string(c.line) + ", column ";
        const size_t at = err.find(fatal);
        ASSERT_NE(std::string::npos, at) << err;
        EXPECT_NE(std::string::npos, err.find(std::string("   Message: ") + c.message, at)) << err;
        // Memory: the parse's budget (16 MiB and 64 bytes per byte of the file) is never passed.
        ASSERT_NE(nullptr, dom.get_memory());
        EXPECT_LE(dom.get_memory()->peak(),
                  BRIX_DOM_LIMITS::MEMORY_BASE + BRIX_DOM_LIMITS::MEMORY_PER_FILE_BYTE * c.document.size());
    }
}

// The limits leave ordinary documents alone: entities within the text limit, nesting at the limit, and a
// large plain document.
TEST(HostileInputs, XmlDocumentsWithinTheLoaderLimitsLoad) {
    TEMP_DIR dir;
    std::string file = dir.file("ordinary.xml");

    write_text_file(file, entity_document(std::string(200, 'x'), 3, 1, "<!ELEMENT BCM ANY>"));
    BRIX_DOM entities;
    EXPECT_EQ(20000u, BRIX_DOM::get_text_from_dom_node(entities.load_document(file)).size());

    // One attribute of 900 000 characters from entities: below the file size plus 1 Mi characters.
    write_text_file(file, attribute_document(30000, 1, 30,
                                             "<!ELEMENT family ANY><!ATTLIST family name CDATA #IMPLIED "
                                             "a0 CDATA #IMPLIED>"));
    BRIX_DOM attribute;
    EXPECT_EQ(900000u,
              BRIX_DOM::get_attribute_string_from_dom_node(attribute.load_document(file), "a0").size());

    write_text_file(file, nested_document(255)); // with the root: 256 levels
    BRIX_DOM nested;
    EXPECT_EQ(255u, BRIX_DOM::get_elements_by_tag_name(nested.load_document(file), "a").size());

    // 4 MB of plain elements and attributes, and an element text of 2 MB: no limit is near.
    std::string big = "<family>\n";
    for (int i = 0; i < 40000; ++i)
        big += "<block_info name=\"B" + std::to_string(i) +
               "\"><const_val value=\"0x1\" offset=\"2\"/>text</block_info>\n";
    big += "<t>" + std::string(2u << 20, 'y') + "</t></family>\n";
    write_text_file(file, big);
    BRIX_DOM large;
    EXPECT_EQ(40000u, BRIX_DOM::get_elements_by_tag_name(large.load_document(file), "block_info").size());
}
