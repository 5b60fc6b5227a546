// XML document access: one loader for every XML input (family XML, device XML, option-bit BCM XML), its error
// handler, and the attribute, element and text look-ups the builders use.
//
// Caller protocol:
//     BRIX_DOM dom;
//     xercesc::DOMElement* root = dom.load_document(file);   // the four checks after parsing
//     ... read the tree ...
// The document belongs to the parser and is released when the loader goes out of scope.
//
// No XML input may make the tool read another file or reach the network: every external resource a
// document refers to (external DTD, external entities) is refused and reported as a parse error.
#pragma once

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>

#include <memory>
#include <string>
#include <vector>

// Limits of one parsed document. Real inputs stay far below them; they stop hostile documents before they
// cost time, memory or stack.
struct BRIX_DOM_LIMITS {
    // Deepest element nesting: the release of a document nested hundreds of thousands of levels deep
    // overflows the stack.
    static constexpr unsigned long long MAX_DEPTH = 256;
    // Characters of text (character data and attribute values, after entity expansion) beyond the size of
    // the file. Without declared entities a document's text is never longer than its file.
    static constexpr unsigned long long EXTRA_TEXT = 1ull << 20;
    // Memory the parser may hold for one document: a fixed part plus a multiple of the file size.
    static constexpr unsigned long long MEMORY_BASE = 16ull << 20;
    static constexpr unsigned long long MEMORY_PER_FILE_BYTE = 64;
    // Expansions of declared entities (predefined entities and character references do not count); stops
    // documents whose nested entities grow exponentially.
    static constexpr unsigned long long MAX_ENTITY_EXPANSIONS = 10000;
};

class KOVAN_DOM_PARSER;

// The memory of one parse (parser, scanner and document). Entity references inside an attribute value are
// expanded into the whole value before the parser hands any of it on, so a limit on text counted in the
// callbacks comes too late for them: the limits hold here, where the buffers grow. During a parse it refuses
// a single block larger than the document's text can need and a total beyond the parse's budget; the refusal
// is reported as a parse error of the document and ends the parse (as the parser's own out-of-memory
// exception, which it is built to pass through).
class BRIX_DOM_MEMORY : public xercesc::MemoryManager {
  public:
    BRIX_DOM_MEMORY() = default;
    ~BRIX_DOM_MEMORY() override = default;
    BRIX_DOM_MEMORY(const BRIX_DOM_MEMORY&) = delete;
    BRIX_DOM_MEMORY& operator=(const BRIX_DOM_MEMORY&) = delete;

    xercesc::MemoryManager* getExceptionMemoryManager() override;
    void* allocate(XMLSize_t size) override;
    void deallocate(void* p) override;

    // Starts enforcing the limits for a parse of a document with this text limit (characters); the parser
    // is where refusals are reported.
    void start(KOVAN_DOM_PARSER* parser, unsigned long long text_limit, unsigned long long budget);
    // Stops enforcing (after the parse: the document's look-ups may still allocate).
    void stop() { m_enforcing = false; }
    // True once a limit refused an allocation (and the refusal was reported).
    bool refused() const { return m_refused; }
    // Bytes held now and at most since construction.
    unsigned long long held() const { return m_held; }
    unsigned long long peak() const { return m_peak; }

  private:
    [[noreturn]] void refuse(const std::string& message);
    KOVAN_DOM_PARSER* m_parser = nullptr;
    bool m_enforcing = false;
    bool m_refused = false;
    unsigned long long m_block_limit = ~0ull;
    unsigned long long m_budget = ~0ull;
    unsigned long long m_held = 0;
    unsigned long long m_peak = 0;
};

// The DOM parser of the tool: constructed with no validator, the given memory manager and no grammar pool.
// It records the line of every element's start tag on the element (BRIX_DOM::get_line), so failure reports
// can say where in the file the faulty element is, and it stops at a DOCTYPE that names an external DTD and
// at a document that outgrows the limits of BRIX_DOM_LIMITS.
class KOVAN_DOM_PARSER : public xercesc::XercesDOMParser {
  public:
    // Thrown out of the parse when the document is refused (an external DTD, text or nesting over its
    // limit), after the error handler has reported why; the loader catches it.
    struct DOCUMENT_REFUSED {};

    explicit KOVAN_DOM_PARSER(xercesc::MemoryManager* memory);
    ~KOVAN_DOM_PARSER() override;

    // Reports a refusal of the document as a fatal parse error at the current place in the file.
    void report_refusal(const std::string& message);

    void doctypeDecl(const xercesc::DTDElementDecl& elemDecl, const XMLCh* const publicId,
                     const XMLCh* const systemId, const bool hasIntSubset, const bool hasExtSubset) override;

    void startElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int urlId,
                      const XMLCh* const elemPrefix, const xercesc::RefVectorOf<xercesc::XMLAttr>& attrList,
                      const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) override;
    void endElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int urlId, const bool isRoot,
                    const XMLCh* const elemPrefix) override;
    void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override;

    // Largest number of characters of text (character data and attribute values, after entity expansion)
    // one document may hold. Declared entities would otherwise let a file of a few kilobytes grow into
    // hundreds of megabytes, within the limit on the number of expansions.
    void set_text_limit(unsigned long long limit) { m_text_limit = limit; }
    unsigned long long get_text_limit() const { return m_text_limit; }

  private:
    void count_text(XMLSize_t length);
    unsigned long long m_text_limit = ~0ull;
    unsigned long long m_text_size = 0;
    unsigned long long m_depth = 0;
};

// Prints warnings, errors and fatal errors of a parse and remembers whether any error occurred.
class BRIX_DOM_ERROR_HANDLER : public xercesc::ErrorHandler {
  public:
    BRIX_DOM_ERROR_HANDLER() = default;
    ~BRIX_DOM_ERROR_HANDLER() override;

    void warning(const xercesc::SAXParseException& exc) override;
    void error(const xercesc::SAXParseException& exc) override;
    void fatalError(const xercesc::SAXParseException& exc) override;
    void resetErrors() override;

    bool get_error_flag() const { return m_error_flag; }
    // A parse error found by the tool itself (a refused external resource): printed as a fatal error and
    // the flag is set.
    void report_fatal(const std::string& file, unsigned long long line, unsigned long long column,
                      const std::string& message);

  private:
    bool m_error_flag = false;
};

// Refuses every external resource of a document: reports it as a fatal parse error and hands the parser an
// empty input in its place, so nothing outside the document is ever opened.
class BRIX_DOM_ENTITY_REFUSER : public xercesc::XMLEntityResolver {
  public:
    explicit BRIX_DOM_ENTITY_REFUSER(BRIX_DOM_ERROR_HANDLER* handler) : m_handler(handler) {}
    xercesc::InputSource* resolveEntity(xercesc::XMLResourceIdentifier* resource) override;

  private:
    BRIX_DOM_ERROR_HANDLER* m_handler;
};

// The document loader. Owns the parser, its memory and the error handler; destroying it releases the parsed
// document.
class BRIX_DOM {
  public:
    BRIX_DOM() = default;
    ~BRIX_DOM();
    BRIX_DOM(const BRIX_DOM&) = delete;
    BRIX_DOM& operator=(const BRIX_DOM&) = delete;

    // Parses the file and returns the document (null only if the parser produced none). Errors inside the
    // document are printed by the error handler and set its flag; an exception escaping the parser is
    // printed and reported as "Error during XML parsing".
    xercesc::DOMDocument* parse_xml_file(const std::string& file_name);
    // Null before a parse.
    BRIX_DOM_ERROR_HANDLER* get_error_handler() const { return m_error_handler.get(); }
    // The memory of the last parse (null before a parse).
    const BRIX_DOM_MEMORY* get_memory() const { return m_memory.get(); }

    // parse_xml_file followed by the checks every caller applies; returns the document element.
    xercesc::DOMElement* load_document(const std::string& file_name);

    // The attribute's value; empty when the element has no such attribute or the node is not an element.
    static std::string get_attribute_string_from_dom_node(const xercesc::DOMNode* node,
                                                          const std::string& name);
    // Every descendant element with this tag name, in document order. root is a document or an element.
    static std::vector<xercesc::DOMElement*> get_elements_by_tag_name(const xercesc::DOMNode* root,
                                                                      const std::string& tag);
    // The node's text content (empty when it has none).
    static std::string get_text_from_dom_node(const xercesc::DOMNode* node);
    // Line of the element's start tag (where its ">" is); 0 when not known.
    static unsigned long long get_line(const xercesc::DOMNode* node);
    // For input-context frames: element <tag> name="<name>", line <n> (name and line only when known).
    static std::string describe_element(const xercesc::DOMNode* node);

    // XML text to a narrow (UTF-8) string and back.
    static std::string to_string(const XMLCh* text);
    static std::u16string to_xml(const std::string& text);

  private:
    // Released in reverse order: the parser (with the document) first, its memory last.
    std::unique_ptr<BRIX_DOM_MEMORY> m_memory;
    std::unique_ptr<xercesc::SecurityManager> m_security_manager;
    std::unique_ptr<BRIX_DOM_ERROR_HANDLER> m_error_handler;
    std::unique_ptr<BRIX_DOM_ENTITY_REFUSER> m_entity_refuser;
    std::unique_ptr<KOVAN_DOM_PARSER> m_parser;
};
