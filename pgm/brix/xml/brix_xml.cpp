#include "xml/brix_xml.h"

#include "fio.h"
#include "msg_internal_error.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLValidator.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <new>

using namespace xercesc;

namespace {

// Key of the user data that holds an element's line.
const XMLCh LINE_KEY[] = u"brix-line";

// The XML platform is initialised once, on first use, and terminated when the program ends (after every
// loader, which lives on a stack, is gone). A failed initialisation is retried on the next use.
struct XML_PLATFORM {
    XML_PLATFORM() { XMLPlatformUtils::Initialize(); }
    ~XML_PLATFORM() { XMLPlatformUtils::Terminate(); }
};

void initialise_xml_platform() {
    static XML_PLATFORM platform;
}

void write_parse_report(const char* kind, const std::string& file, unsigned long long line,
                        unsigned long long column, const std::string& message) {
    std::cout.flush();
    std::cerr << kind << " at file \"" << file << "\", line " << line << ", column " << column
              << "\n   Message: " << message << "\n";
    std::cerr.flush();
}

} // namespace

// ---- BRIX_DOM_MEMORY --------------------------------------------------------------------------------------

namespace {
// Every block carries its size in front, so that deallocate can count what it gives back.
constexpr size_t BLOCK_HEADER = alignof(std::max_align_t);
} // namespace

MemoryManager* BRIX_DOM_MEMORY::getExceptionMemoryManager() {
    // Exceptions are built outside the limits: a refusal must never stop the report of another failure.
    return XMLPlatformUtils::fgMemoryManager;
}

void BRIX_DOM_MEMORY::start(KOVAN_DOM_PARSER* parser, unsigned long long text_limit,
                            unsigned long long budget) {
    m_parser = parser;
    // A buffer of text grows to twice what it holds, two bytes per character: a block over four bytes per
    // character of the text limit (and some room for the parser's own tables) can only hold text beyond it.
    m_block_limit = text_limit * 2 * sizeof(XMLCh) + (1u << 16);
    m_budget = budget;
    m_enforcing = true;
    m_refused = false;
}

void BRIX_DOM_MEMORY::refuse(const std::string& message) {
    // Refuse once: the parser's clean-up after the refusal may allocate a little and must not fail.
    m_enforcing = false;
    m_refused = true;
    if (m_parser)
        m_parser->report_refusal(message);
    throw OutOfMemoryException();
}

void* BRIX_DOM_MEMORY::allocate(XMLSize_t size) {
    if (m_enforcing) {
        if (size > m_block_limit)
            refuse("The document's text grows past " + std::to_string(m_parser->get_text_limit()) +
                   " characters: entity expansion is limited");
        if (m_held + size > m_budget)
            refuse("The document needs more than " + std::to_string(m_budget >> 20) +
                   " MiB to parse: entity expansion is limited");
    }
    if (size > ~size_t{0} - BLOCK_HEADER)
        throw OutOfMemoryException();
    void* block = std::malloc(size + BLOCK_HEADER);
    if (!block)
        throw OutOfMemoryException();
    *static_cast<size_t*>(block) = size;
    m_held += size;
    if (m_held > m_peak)
        m_peak = m_held;
    return static_cast<char*>(block) + BLOCK_HEADER;
}

void BRIX_DOM_MEMORY::deallocate(void* p) {
    if (!p)
        return;
    void* block = static_cast<char*>(p) - BLOCK_HEADER;
    m_held -= *static_cast<size_t*>(block);
    std::free(block);
}

// ---- KOVAN_DOM_PARSER -------------------------------------------------------------------------------------

KOVAN_DOM_PARSER::KOVAN_DOM_PARSER(MemoryManager* memory) : XercesDOMParser(nullptr, memory, nullptr) {}

KOVAN_DOM_PARSER::~KOVAN_DOM_PARSER() {}

void KOVAN_DOM_PARSER::report_refusal(const std::string& message) {
    const Locator* locator = getScanner() ? getScanner()->getLocator() : nullptr;
    if (auto* handler = dynamic_cast<BRIX_DOM_ERROR_HANDLER*>(getErrorHandler()))
        handler->report_fatal(locator ? BRIX_DOM::to_string(locator->getSystemId()) : std::string(),
                              locator ? locator->getLineNumber() : 0,
                              locator ? locator->getColumnNumber() : 0, message);
}

void KOVAN_DOM_PARSER::startElement(const XMLElementDecl& elemDecl, const unsigned int urlId,
                                    const XMLCh* const elemPrefix, const RefVectorOf<XMLAttr>& attrList,
                                    const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) {
    if (++m_depth > BRIX_DOM_LIMITS::MAX_DEPTH) {
        report_refusal("The document's elements nest deeper than " +
                       std::to_string(BRIX_DOM_LIMITS::MAX_DEPTH) + " levels");
        throw DOCUMENT_REFUSED();
    }
    for (XMLSize_t i = 0; i < attrCount; ++i)
        count_text(XMLString::stringLen(attrList.elementAt(i)->getValue()));
    // The element is the current node only until it is closed, so an empty element is closed here, after
    // its line is recorded, instead of inside the base class.
    XercesDOMParser::startElement(elemDecl, urlId, elemPrefix, attrList, attrCount, false, isRoot);
    DOMNode* element = getCurrentNode();
    const Locator* locator = getScanner() ? getScanner()->getLocator() : nullptr;
    if (element && locator) {
        auto line = static_cast<uintptr_t>(locator->getLineNumber());
        element->setUserData(LINE_KEY, reinterpret_cast<void*>(line), nullptr);
    }
    if (isEmpty)
        endElement(elemDecl, urlId, isRoot, elemPrefix);
}

void KOVAN_DOM_PARSER::endElement(const XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                                  const XMLCh* const elemPrefix) {
    if (m_depth > 0)
        --m_depth;
    XercesDOMParser::endElement(elemDecl, urlId, isRoot, elemPrefix);
}

void KOVAN_DOM_PARSER::count_text(XMLSize_t length) {
    m_text_size += length;
    if (m_text_size <= m_text_limit)
        return;
    report_refusal("The document's text grows past " + std::to_string(m_text_limit) +
                   " characters: entity expansion is limited");
    throw DOCUMENT_REFUSED();
}

void KOVAN_DOM_PARSER::docCharacters(const XMLCh* const chars, const XMLSize_t length,
                                     const bool cdataSection) {
    count_text(length);
    XercesDOMParser::docCharacters(chars, length, cdataSection);
}

void KOVAN_DOM_PARSER::doctypeDecl(const DTDElementDecl& elemDecl, const XMLCh* const publicId,
                                   const XMLCh* const systemId, const bool hasIntSubset,
                                   const bool hasExtSubset) {
    // Validation, automatic once a document has a DOCTYPE, loads an external DTD whatever the load flag says.
    // The parse stops here instead, before the parser starts on the external subset.
    if (hasExtSubset) {
        report_refusal("The external resource \"" + BRIX_DOM::to_string(systemId) +
                       "\" is not read: XML inputs may not refer to other files");
        throw DOCUMENT_REFUSED();
    }
    XercesDOMParser::doctypeDecl(elemDecl, publicId, systemId, hasIntSubset, hasExtSubset);
}

// ---- BRIX_DOM_ERROR_HANDLER -------------------------------------------------------------------------------

BRIX_DOM_ERROR_HANDLER::~BRIX_DOM_ERROR_HANDLER() {}

void BRIX_DOM_ERROR_HANDLER::warning(const SAXParseException& exc) {
    std::cout << BRIX_DOM::to_string(exc.getMessage()) << "\n";
}

void BRIX_DOM_ERROR_HANDLER::error(const SAXParseException& exc) {
    std::cout << "error\n";
    m_error_flag = true;
    write_parse_report("Error", BRIX_DOM::to_string(exc.getSystemId()), exc.getLineNumber(),
                       exc.getColumnNumber(), BRIX_DOM::to_string(exc.getMessage()));
}

void BRIX_DOM_ERROR_HANDLER::fatalError(const SAXParseException& exc) {
    m_error_flag = true;
    write_parse_report("Fatal Error", BRIX_DOM::to_string(exc.getSystemId()), exc.getLineNumber(),
                       exc.getColumnNumber(), BRIX_DOM::to_string(exc.getMessage()));
}

void BRIX_DOM_ERROR_HANDLER::resetErrors() {
    m_error_flag = false;
}

void BRIX_DOM_ERROR_HANDLER::report_fatal(const std::string& file, unsigned long long line,
                                          unsigned long long column, const std::string& message) {
    m_error_flag = true;
    write_parse_report("Fatal Error", file, line, column, message);
}

// ---- BRIX_DOM_ENTITY_REFUSER ------------------------------------------------------------------------------

InputSource* BRIX_DOM_ENTITY_REFUSER::resolveEntity(XMLResourceIdentifier* resource) {
    std::string system_id = BRIX_DOM::to_string(resource->getSystemId());
    std::string file;
    unsigned long long line = 0;
    unsigned long long column = 0;
    if (const Locator* locator = resource->getLocator()) {
        file = BRIX_DOM::to_string(locator->getSystemId());
        line = locator->getLineNumber();
        column = locator->getColumnNumber();
    }
    if (m_handler)
        m_handler->report_fatal(file, line, column,
                                "The external resource \"" + system_id +
                                    "\" is not read: XML inputs may not refer to other files");
    static const XMLByte nothing[] = {0};
    return new MemBufInputSource(nothing, 0, resource->getSystemId(), false);
}

// ---- BRIX_DOM ---------------------------------------------------------------------------------------------

BRIX_DOM::~BRIX_DOM() = default;

DOMDocument* BRIX_DOM::parse_xml_file(const std::string& file_name) {
    try {
        initialise_xml_platform();
    } catch (const XMLException& e) {
        std::cout << "Error during initialization! :\n" << to_string(e.getMessage()) << "\n";
        BRIX_REPORT("Error during XML parsing");
    }

    // A loader parses one document; a second parse starts afresh (the old parser goes before its memory).
    m_parser.reset();
    m_entity_refuser.reset();
    m_error_handler.reset();
    m_security_manager.reset();
    m_memory.reset();
    m_memory = std::make_unique<BRIX_DOM_MEMORY>();
    m_parser = std::make_unique<KOVAN_DOM_PARSER>(m_memory.get());
    m_error_handler = std::make_unique<BRIX_DOM_ERROR_HANDLER>();
    m_entity_refuser = std::make_unique<BRIX_DOM_ENTITY_REFUSER>(m_error_handler.get());
    m_security_manager = std::make_unique<SecurityManager>();
    m_security_manager->setEntityExpansionLimit(BRIX_DOM_LIMITS::MAX_ENTITY_EXPANSIONS);

    m_parser->setValidationScheme(XercesDOMParser::Val_Auto);
    m_parser->setDoNamespaces(false);
    m_parser->setDoSchema(false);
    m_parser->setLoadExternalDTD(false);
    m_parser->setErrorHandler(m_error_handler.get());
    // External entities go to the refuser (an external DTD stops the parser before it is looked for), and
    // the parser never resolves one itself.
    m_parser->setXMLEntityResolver(m_entity_refuser.get());
    m_parser->setDisableDefaultEntityResolution(true);
    m_parser->setSecurityManager(m_security_manager.get());
    FIO_STATUS status;
    const unsigned long long file_size = FIO_FILE_SYSTEM::status(file_name, status) ? status.size : 0;
    m_parser->set_text_limit(file_size + BRIX_DOM_LIMITS::EXTRA_TEXT);

    std::string path = file_name;
    FIO_PATH fio_path(path);
    if (fio_path.is_unc_path()) {
        fio_path.change_path_separators_for_windows_api();
        path = fio_path.fullpath();
    }

    // The limits on memory hold for the parse only, whichever way it ends.
    struct STOP_LIMITS {
        BRIX_DOM_MEMORY* memory;
        ~STOP_LIMITS() { memory->stop(); }
    } stop_limits{m_memory.get()};
    m_memory->start(m_parser.get(), m_parser->get_text_limit(),
                    BRIX_DOM_LIMITS::MEMORY_BASE + BRIX_DOM_LIMITS::MEMORY_PER_FILE_BYTE * file_size);
    try {
        m_parser->parse(path.c_str());
    } catch (const XMLException& e) {
        std::cout << "Exception message is: \n" << to_string(e.getMessage()) << "\n";
        BRIX_REPORT("Error during XML parsing");
    } catch (const DOMException& e) {
        std::cout << "error code" << e.code << "\n";
        BRIX_REPORT("Error during XML parsing");
    } catch (const SAXException& e) {
        std::cout << to_string(e.getMessage()) << "\n";
        BRIX_REPORT("Error during XML parsing");
    } catch (const KOVAN_DOM_PARSER::DOCUMENT_REFUSED&) {
        // Already reported; the error flag stops the caller.
    } catch (const OutOfMemoryException&) {
        if (!m_memory->refused()) {
            std::cout << "unexpected internal error in file:brix_xml\n";
            BRIX_REPORT("Error during XML parsing");
        }
        // A limit of the parse's memory: already reported, the error flag stops the caller.
    } catch (const BRIX_INTERNAL_ERROR&) {
        throw;
    } catch (...) {
        std::cout << "unexpected internal error in file:brix_xml\n";
        BRIX_REPORT("Error during XML parsing");
    }
    return m_parser->getDocument();
}

DOMElement* BRIX_DOM::load_document(const std::string& file_name) {
    DOMDocument* xml = parse_xml_file(file_name);
    BRIX_CHECK(xml != nullptr, "xml != NULL");
    BRIX_CHECK(get_error_handler() != nullptr, "dom->get_error_handler() != NULL");
    BRIX_CHECK(!get_error_handler()->get_error_flag(), "Error during XML parsing");
    DOMElement* root = xml->getDocumentElement();
    BRIX_CHECK(root != nullptr, "Unable to read the XML file");
    return root;
}

std::string BRIX_DOM::get_attribute_string_from_dom_node(const DOMNode* node, const std::string& name) {
    if (!node || node->getNodeType() != DOMNode::ELEMENT_NODE)
        return std::string();
    std::u16string xml_name = to_xml(name);
    const XMLCh* value = static_cast<const DOMElement*>(node)->getAttribute(xml_name.c_str());
    return to_string(value);
}

std::vector<DOMElement*> BRIX_DOM::get_elements_by_tag_name(const DOMNode* root, const std::string& tag) {
    std::vector<DOMElement*> elements;
    if (!root)
        return elements;
    std::u16string xml_tag = to_xml(tag);
    DOMNodeList* list = nullptr;
    if (root->getNodeType() == DOMNode::DOCUMENT_NODE)
        list = static_cast<const DOMDocument*>(root)->getElementsByTagName(xml_tag.c_str());
    else if (root->getNodeType() == DOMNode::ELEMENT_NODE)
        list = static_cast<const DOMElement*>(root)->getElementsByTagName(xml_tag.c_str());
    if (!list)
        return elements;
    XMLSize_t count = list->getLength();
    elements.reserve(count);
    for (XMLSize_t i = 0; i < count; ++i)
        elements.push_back(static_cast<DOMElement*>(list->item(i)));
    return elements;
}

std::string BRIX_DOM::get_text_from_dom_node(const DOMNode* node) {
    return node ? to_string(node->getTextContent()) : std::string();
}

unsigned long long BRIX_DOM::get_line(const DOMNode* node) {
    if (!node)
        return 0;
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(node->getUserData(LINE_KEY)));
}

std::string BRIX_DOM::describe_element(const DOMNode* node) {
    if (!node)
        return "element (none)";
    std::string text = "element " + to_string(node->getNodeName());
    std::string name = get_attribute_string_from_dom_node(node, "name");
    if (!name.empty())
        text += " name=\"" + INPUT_CONTEXT::excerpt(name) + "\"";
    if (unsigned long long line = get_line(node))
        text += ", line " + std::to_string(line);
    return text;
}

std::string BRIX_DOM::to_string(const XMLCh* text) {
    if (!text || !*text)
        return std::string();
    initialise_xml_platform();
    TranscodeToStr utf8(text, "UTF-8");
    return std::string(reinterpret_cast<const char*>(utf8.str()), utf8.length());
}

std::u16string BRIX_DOM::to_xml(const std::string& text) {
    if (text.empty())
        return std::u16string();
    initialise_xml_platform();
    TranscodeFromStr xml(reinterpret_cast<const XMLByte*>(text.data()), text.size(), "UTF-8");
    return std::u16string(xml.str(), xml.length());
}
