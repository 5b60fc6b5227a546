// Inputs that fuzzing showed to be costly or harmful, each in its smallest form: every one must end in a
// failure report instead of a large allocation.
#include "brix_xml.h"
#include "test_support.h"

#include <string>

namespace {

std::string repeat(const std::string& text, int times) {
    std::string out;
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

} // namespace

TEST(HostileInputs, XmlEntityTextIsBounded) {
    // 2000 characters expanded a thousand times (1111 expansions, well within the limit on their number):
    // 2 million characters from a 2 KB file. The declared element makes the document valid, so nothing else
    // stops the parse.
    TEMP_DIR dir;
    std::string hostile = dir.file("hostile.xml");
    std::string document = entity_document(std::string(2000, 'x'), 4, 1, "<!ELEMENT BCM ANY>");
    ASSERT_LT(document.size(), 3000u);
    write_text_file(hostile, document);
    {
        testing::internal::CaptureStderr();
        BRIX_DOM dom;
        EXPECT_BRIX_ERROR(dom.load_document(hostile), "Error during XML parsing");
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(std::string::npos, err.find("entity expansion is limited")) << err;
    }
    // The same shape within the limit still loads: ordinary use of entities is not refused.
    std::string ordinary = dir.file("entities.xml");
    write_text_file(ordinary, entity_document(std::string(200, 'x'), 3, 1, "<!ELEMENT BCM ANY>"));
    BRIX_DOM dom;
    xercesc::DOMElement* root = dom.load_document(ordinary);
    EXPECT_EQ(20000u, BRIX_DOM::get_text_from_dom_node(root).size());
}
