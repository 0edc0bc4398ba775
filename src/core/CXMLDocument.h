#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>

#include <libxml/tree.h>
#include <libxml/xpath.h>

#include "core/CMessageException.h"

namespace Nerra {

// Initialises libxml2 once for the process and routes its error output into the log.
void XMLInit();
// libxml2 keeps its error handler per thread: every long-lived thread installs it again.
void XMLInstallErrorSink();

// Any text made safe to write into an XML document (control bytes and broken UTF-8 become "?").
std::string ToXmlText(const std::string& text);
// "1" or "true" in any letter case.
bool ParseBoolean(const std::string& text);

// An XML file: load, validate against a schema, edit the root, save without ever leaving
// a half-written target.
class CXMLDocument {
public:
    // An empty path creates a new empty document.
    explicit CXMLDocument(const std::string& path);
    ~CXMLDocument();
    CXMLDocument(const CXMLDocument&) = delete;
    CXMLDocument& operator=(const CXMLDocument&) = delete;

    void Validate(const std::string& schemaPath);
    void SaveTo(const std::string& target);
    xmlNodePtr SetRootNode(xmlNodePtr node);
    xmlNodePtr SetRootNode(const std::string& name);
    xmlNodePtr GetRootNode() const;

    xmlDocPtr GetDocument() const { return m_Document; }
    const std::string& GetPath() const { return m_Path; }

private:
    // Writes the document to a new file beside the target and returns its name.
    std::string WriteTemporary(const std::string& target) const;

    std::string m_Path;
    xmlDocPtr m_Document = nullptr;
};

// The result of an XPath evaluation, always a node set.
class CXPathObject {
public:
    explicit CXPathObject(xmlXPathObjectPtr object) : m_Object(object, xmlXPathFreeObject) {}

    xmlNodePtr GetNodePtr() const { return GetNode(0); }
    size_t GetNodeCount() const;
    xmlNodePtr GetNode(size_t index) const;
    // The first node's text content, CR LF turned into LF; empty when there is no node.
    std::string GetText() const;
    // The text as a number of at most 10 digits; anything else is 0.
    uint32_t GetNumber() const;

private:
    std::unique_ptr<xmlXPathObject, void (*)(xmlXPathObjectPtr)> m_Object;
};

// Evaluates XPath expressions against a document's root or relative to one node.
class CXPathContext {
public:
    explicit CXPathContext(const CXMLDocument& document);
    explicit CXPathContext(xmlNodePtr node);

    CXPathObject Eval(const char* format, ...) NERRA_PRINTF(2, 3);

private:
    std::unique_ptr<xmlXPathContext, void (*)(xmlXPathContextPtr)> m_Context;
};

// Sets an attribute, converting the value with ToXmlText.
void SetXmlAttribute(xmlNodePtr node, const char* name, const std::string& value);
// Adds a child element (with text content, when given) converted with ToXmlText.
xmlNodePtr AddXmlChild(xmlNodePtr parent, const char* name, const std::string* content = nullptr);

}  // namespace Nerra
