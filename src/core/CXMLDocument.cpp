#include "core/CXMLDocument.h"

#include <chrono>
#include <climits>
#include <thread>

#include <libxml/parser.h>
#include <libxml/xmlschemas.h>
#include <libxml/xmlschemastypes.h>

#include "core/CFile.h"
#include "core/CLog.h"
#include "core/TextUtils.h"
#include "core/Trace.h"

namespace Nerra {

namespace {

// libxml2 reports parser and schema errors with the offending text of the document, which
// may be a password attribute: the log gets where the error is and its code, never the text.
void XMLStructuredError(void*, xmlErrorPtr error)
{
    if (!error)
        return;
    CLog::Instance().Error("XMLError(): %s line %d, column %d: libxml2 error %d (the document's text is not shown)",
                           error->file ? error->file : "document", error->line, error->int2, error->code);
}

// Parses a document already in memory; `name` only labels its errors.
xmlDocPtr ParseText(const std::string& text, const std::string& name)
{
    if (text.size() > static_cast<size_t>(INT_MAX))
        return nullptr;
    // No network access, ever: a document is read from its file alone.
    return xmlReadMemory(text.data(), static_cast<int>(text.size()), name.c_str(), nullptr, XML_PARSE_NONET);
}

}  // namespace

void XMLInit()
{
    xmlInitParser();
    // libxml2 builds its table of built-in schema types on first use, without a lock: built
    // here, before any other thread exists, two rule sets validated at once cannot both
    // build it (one table would be lost).
    xmlSchemaInitTypes();
    XMLInstallErrorSink();
    xmlCheckVersion(20619);
}

void XMLInstallErrorSink()
{
    xmlSetGenericErrorFunc(nullptr, XMLError);
    xmlSetStructuredErrorFunc(nullptr, XMLStructuredError);
}

std::string ToXmlText(const std::string& text)
{
    auto copiedAsIs = [](unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || (c >= 32 && c < 128); };
    std::string result;
    result.reserve(text.size());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 128) {
            result += copiedAsIs(c) ? static_cast<char>(c) : '?';
            ++i;
            continue;
        }
        size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 0;
        if (length == 0) {
            result += '?';
            ++i;
            continue;
        }
        bool valid = i + length <= size;
        for (size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        if (valid) {
            result.append(text, i, length);
        } else {
            for (size_t k = 0; k < length && i + k < size; ++k) {
                unsigned char b = static_cast<unsigned char>(text[i + k]);
                result += copiedAsIs(b) ? static_cast<char>(b) : '?';
            }
        }
        i += length;
    }
    return Replace(Replace(result, "\r\n", "\n"), "\r", "\n");
}

bool ParseBoolean(const std::string& text)
{
    std::string lower = ToLower(text);
    return lower == "1" || lower == "true";
}

CXMLDocument::CXMLDocument(const std::string& path) : m_Path(path)
{
    NERRA_TRACE_BEGIN
    if (path.empty()) {
        m_Document = xmlNewDoc(BAD_CAST "1.0");
        if (!m_Document)
            throw CMessageException("Failed to create empty XML file");
    } else {
        // The file is read through CFile, which opens regular files only and never waits
        // on a pipe; libxml2 then parses the text.
        std::string text;
        if (CFile::ReadAll(path, text))
            m_Document = ParseText(text, path);
        if (!m_Document)
            throw CMessageException("Failed to load XML file from '%s'", path.c_str());
    }
    NERRA_TRACE_END("CXMLDocument::CXMLDocument('%s')", path.c_str())
}

CXMLDocument::~CXMLDocument() { xmlFreeDoc(m_Document); }

void CXMLDocument::Validate(const std::string& schemaPath)
{
    NERRA_TRACE_BEGIN
    // The schema is a document like any other and is read the same way. It outlives the
    // compiled schema, which may point into it.
    std::string text;
    std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> schemaDocument(
        CFile::ReadAll(schemaPath, text) ? ParseText(text, schemaPath) : nullptr, xmlFreeDoc);
    if (!schemaDocument)
        throw CMessageException("Failed to load schema from '%s'", schemaPath.c_str());
    std::unique_ptr<xmlSchemaParserCtxt, void (*)(xmlSchemaParserCtxtPtr)> parser(
        xmlSchemaNewDocParserCtxt(schemaDocument.get()), xmlSchemaFreeParserCtxt);
    if (!parser)
        throw CMessageException("Failed to load schema from '%s'", schemaPath.c_str());
    std::unique_ptr<xmlSchema, void (*)(xmlSchemaPtr)> schema(xmlSchemaParse(parser.get()), xmlSchemaFree);
    if (!schema)
        throw CMessageException("xmlSchemaParse() failed");
    std::unique_ptr<xmlSchemaValidCtxt, void (*)(xmlSchemaValidCtxtPtr)> validator(
        xmlSchemaNewValidCtxt(schema.get()), xmlSchemaFreeValidCtxt);
    if (!validator)
        throw CMessageException("xmlSchemaNewValidCtxt() failed");
    if (xmlSchemaValidateDoc(validator.get(), m_Document) != 0)
        throw CMessageException("The document failed to validate against the XML schema at '%s'", schemaPath.c_str());
    NERRA_TRACE_END("CXMLDocument::Validate('%s')", schemaPath.c_str())
}

// The temporary is always a new file, never a name that is there already: a link planted
// under that name would have the service write wherever it leads. The new content reaches
// the disk before it replaces the old, and the replacement is a rename: a crash leaves
// either the old file or the new one, never a truncated one.
std::string CXMLDocument::WriteTemporary(const std::string& target) const
{
    // The target goes into a printf format: its own percent signs must stay text.
    const std::string pattern = Replace(target, "%", "%%") + ".%03d";
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(m_Document, &text, &size, "UTF-8", 0);
    std::unique_ptr<xmlChar, void (*)(void*)> owner(text, xmlFree);
    try {
        if (!text || size < 0)
            throw CMessageException("xmlDocDumpFormatMemoryEnc() failed");
        CFile file(pattern, CFile::Reading | CFile::Writing, CFile::MustCreate,
                   CFile::UniqueName | CFile::RemoveOnWriteFailure | CFile::RemoveOnClose);
        file.Write(text, static_cast<uint32_t>(size));
        file.Flush();
        file.SetRemoveOnClose(false);
        return file.GetPath();
    } catch (...) {
        // The cause, a full disk say, goes on as the first step of the failure's path.
        CMessageException failure("Failed to save XML file to '%s'", (target + ".NNN").c_str());
        failure.AddTrace(CurrentFailureText());
        throw failure;
    }
}

void CXMLDocument::SaveTo(const std::string& target)
{
    NERRA_TRACE_BEGIN
    const std::string temporary = WriteTemporary(target);
    const std::string directory = target.find('/') == std::string::npos ? "." : target.substr(0, target.rfind('/') + 1);
    for (int failures = 0; failures < 8;) {
        if (CFile::Replace(temporary, target)) {
            CFile::SyncDirectory(directory);
            return;
        }
        ++failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(1 << failures));
    }
    if (CFile::Remove(target) && CFile::Move(temporary, target))
        return;
    throw CMessageException("Unable to save XML file, temporary copy remains at %s", temporary.c_str());
    NERRA_TRACE_END("CXMLDocument::SaveTo('%s')", target.c_str())
}

xmlNodePtr CXMLDocument::SetRootNode(xmlNodePtr node)
{
    NERRA_TRACE_BEGIN
    xmlNodePtr old = xmlDocSetRootElement(m_Document, node);
    if (old) {
        xmlUnlinkNode(old);
        xmlFreeNode(old);
    }
    return node;
    NERRA_TRACE_END("CXMLDocument::SetRootNode(" NERRA_PTR ")", NERRA_PTR_ARG(node))
}

xmlNodePtr CXMLDocument::SetRootNode(const std::string& name)
{
    NERRA_TRACE_BEGIN
    xmlNodePtr node = xmlNewDocRawNode(m_Document, nullptr, BAD_CAST ToXmlText(name).c_str(), nullptr);
    if (!node)
        throw CMessageException("Failed to create XML element '%s'", name.c_str());
    return SetRootNode(node);
    NERRA_TRACE_END("CXMLDocument::SetRootNode('%s')", name.c_str())
}

xmlNodePtr CXMLDocument::GetRootNode() const { return xmlDocGetRootElement(m_Document); }

size_t CXPathObject::GetNodeCount() const
{
    return m_Object && m_Object->nodesetval ? static_cast<size_t>(m_Object->nodesetval->nodeNr) : 0;
}

xmlNodePtr CXPathObject::GetNode(size_t index) const
{
    return index < GetNodeCount() ? m_Object->nodesetval->nodeTab[index] : nullptr;
}

std::string CXPathObject::GetText() const
{
    NERRA_TRACE_BEGIN
    xmlNodePtr node = GetNodePtr();
    if (!node)
        return std::string();
    std::unique_ptr<xmlChar, void (*)(void*)> content(xmlNodeGetContent(node), xmlFree);
    if (!content)
        return std::string();
    return Replace(reinterpret_cast<const char*>(content.get()), "\r\n", "\n");
    NERRA_TRACE_END("CXPathObject::GetText()")
}

uint32_t CXPathObject::GetNumber() const
{
    NERRA_TRACE_BEGIN
    std::string text = GetText();
    if (text.empty() || !MatchesWhole(text, Digits10Pattern))
        return 0;
    return static_cast<uint32_t>(std::stoull(text));
    NERRA_TRACE_END("CXPathObject::GetNumber()")
}

CXPathContext::CXPathContext(const CXMLDocument& document)
    : m_Context(xmlXPathNewContext(document.GetDocument()), xmlXPathFreeContext)
{
    if (!m_Context)
        throw CMessageException("xmlXPathNewContext() failed");
    m_Context->node = document.GetRootNode();
}

CXPathContext::CXPathContext(xmlNodePtr node) : m_Context(xmlXPathNewContext(node ? node->doc : nullptr), xmlXPathFreeContext)
{
    if (!m_Context)
        throw CMessageException("xmlXPathNewContext() failed");
    m_Context->node = node;
}

CXPathObject CXPathContext::Eval(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string expression = VFormat(format, args);
    va_end(args);
    NERRA_TRACE_BEGIN
    xmlXPathObjectPtr raw = xmlXPathEval(BAD_CAST expression.c_str(), m_Context.get());
    if (!raw)
        throw CMessageException("Failed to evaluate XPath expression '%s'", expression.c_str());
    CXPathObject result(raw);
    if (raw->type != XPATH_NODESET)
        throw CMessageException("Result of evaluation is not a nodeset (type=%d)", static_cast<int>(raw->type));
    return result;
    NERRA_TRACE_END("CXPathContext::Eval('%s')", expression.c_str())
}

void SetXmlAttribute(xmlNodePtr node, const char* name, const std::string& value)
{
    xmlSetProp(node, BAD_CAST name, BAD_CAST ToXmlText(value).c_str());
}

xmlNodePtr AddXmlChild(xmlNodePtr parent, const char* name, const std::string* content)
{
    std::string text = content ? ToXmlText(*content) : std::string();
    xmlNodePtr child = xmlNewChild(parent, nullptr, BAD_CAST name, nullptr);
    if (content)
        xmlNodeAddContent(child, BAD_CAST text.c_str());
    return child;
}

}  // namespace Nerra
