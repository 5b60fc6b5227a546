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
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>

#include <string>
#include <vector>

// The DOM parser of the tool: constructed with no validator, the default memory manager and no grammar pool.
// It records the line of every element's start tag on the element (BRIX_DOM::get_line), so failure reports
// can say where in the file the faulty element is, and it stops at a DOCTYPE that names an external DTD.
class KOVAN_DOM_PARSER : public xercesc::XercesDOMParser {
  public:
    // Thrown out of the parse when a document names an external DTD (after the error handler has reported
    // it); the loader catches it.
    struct EXTERNAL_DTD_REFUSED {};
    // Thrown out of the parse when the document's text outgrows its limit (after the error handler has
    // reported it); the loader catches it.
    struct TEXT_LIMIT_EXCEEDED {};

    KOVAN_DOM_PARSER();
    ~KOVAN_DOM_PARSER() override;

    void doctypeDecl(const xercesc::DTDElementDecl& elemDecl, const XMLCh* const publicId,
                     const XMLCh* const systemId, const bool hasIntSubset, const bool hasExtSubset) override;

    void startElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int urlId,
                      const XMLCh* const elemPrefix, const xercesc::RefVectorOf<xercesc::XMLAttr>& attrList,
                      const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) override;
    void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override;

    // Largest number of characters of text (character data and attribute values, after entity expansion)
    // one document may hold. Declared entities would otherwise let a file of a few kilobytes grow into
    // hundreds of megabytes, within the limit on the number of expansions.
    void set_text_limit(unsigned long long limit) { m_text_limit = limit; }

  private:
    void count_text(XMLSize_t length);
    unsigned long long m_text_limit = ~0ull;
    unsigned long long m_text_size = 0;
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

// The document loader. Owns the parser and the error handler; destroying it releases the parsed document.
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
    BRIX_DOM_ERROR_HANDLER* get_error_handler() const { return m_error_handler; }

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
    KOVAN_DOM_PARSER* m_parser = nullptr;
    BRIX_DOM_ERROR_HANDLER* m_error_handler = nullptr;
    BRIX_DOM_ENTITY_REFUSER* m_entity_refuser = nullptr;
    xercesc::SecurityManager* m_security_manager = nullptr;
};
