#include "transfer/minixmlparser.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstring>
#include <mutex>

namespace pv {

struct MiniXMLNode::Document {
    xmlDocPtr doc = nullptr;
    QByteArray ns; // UTF-8; empty = no namespace required
    ~Document()
    {
        if (doc)
            xmlFreeDoc(doc);
    }
};

namespace {

constexpr int kMaxNameBytes = 255;

QString fromXml(const xmlChar *s)
{
    return s ? QString::fromUtf8(reinterpret_cast<const char *>(s)) : QString();
}

QString textOfFirstChild(xmlNodePtr node)
{
    if (!node || !node->children || node->children->type != XML_TEXT_NODE)
        return QString();
    const QString text = fromXml(node->children->content);
    return text.isNull() ? QStringLiteral("") : text;
}

} // namespace

bool MiniXMLNode::matches(xmlNodePtr child) const
{
    if (child->type != XML_ELEMENT_NODE)
        return false;
    if (m_doc->ns.isEmpty())
        return true;
    return child->ns && child->ns->href &&
           std::strcmp(reinterpret_cast<const char *>(child->ns->href), m_doc->ns.constData()) == 0;
}

QString MiniXMLNode::name() const
{
    return m_node ? fromXml(m_node->name) : QString();
}

QString MiniXMLNode::value() const
{
    if (!m_node || !m_node->children || m_node->children->next)
        return QString();
    return textOfFirstChild(m_node);
}

QList<MiniXMLNode> MiniXMLNode::children() const
{
    QList<MiniXMLNode> out;
    if (!m_node)
        return out;
    for (xmlNodePtr c = m_node->children; c; c = c->next) {
        if (matches(c))
            out.append(MiniXMLNode(m_doc, c));
    }
    return out;
}

QList<MiniXMLNode> MiniXMLNode::childrenWithName(const QString &name) const
{
    QList<MiniXMLNode> out;
    if (!m_node)
        return out;
    const QByteArray wanted = name.toUtf8();
    for (xmlNodePtr c = m_node->children; c; c = c->next) {
        if (matches(c) && std::strcmp(reinterpret_cast<const char *>(c->name), wanted) == 0)
            out.append(MiniXMLNode(m_doc, c));
    }
    return out;
}

MiniXMLNode MiniXMLNode::firstNodeAtSubpath(const QString &path) const
{
    if (!m_node)
        return {};
    xmlNodePtr current = m_node;
    const QStringList names = path.split(QLatin1Char(':'));
    for (const QString &name : names) {
        const QByteArray wanted = name.toUtf8();
        if (wanted.size() > kMaxNameBytes)
            return {};
        xmlNodePtr found = nullptr;
        for (xmlNodePtr c = current->children; c; c = c->next) {
            if (matches(c) && std::strcmp(reinterpret_cast<const char *>(c->name), wanted) == 0) {
                found = c;
                break;
            }
        }
        if (!found)
            return {};
        current = found;
    }
    return MiniXMLNode(m_doc, current);
}

QString MiniXMLNode::firstValueAtSubpath(const QString &path) const
{
    const MiniXMLNode n = firstNodeAtSubpath(path);
    return n.isNull() ? QString() : textOfFirstChild(n.m_node);
}

MiniXMLParser::MiniXMLParser(std::shared_ptr<const MiniXMLNode::Document> doc)
    : m_doc(std::move(doc))
{}

std::unique_ptr<MiniXMLParser> MiniXMLParser::parse(const QByteArray &data,
                                                    const QString &nodeNamespace)
{
    if (data.isEmpty())
        return nullptr;
    // Parsers run on several worker threads; the library's global set-up must
    // happen once before the first of them.
    static std::once_flag initialised;
    std::call_once(initialised, [] { xmlInitParser(); });
    // No network access and no entity expansion: answers come from servers.
    xmlDocPtr doc = xmlReadMemory(data.constData(), int(data.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return nullptr;
    auto d = std::make_shared<MiniXMLNode::Document>();
    d->doc = doc;
    d->ns = nodeNamespace.toUtf8();
    if (!xmlDocGetRootElement(doc))
        return nullptr;
    return std::unique_ptr<MiniXMLParser>(new MiniXMLParser(std::move(d)));
}

MiniXMLNode MiniXMLParser::rootNode() const
{
    return MiniXMLNode(m_doc, xmlDocGetRootElement(m_doc->doc));
}

MiniXMLNode MiniXMLParser::firstNodeAtPath(const QString &path) const
{
    // Start at the document itself so that the first name matches the root.
    return MiniXMLNode(m_doc, reinterpret_cast<xmlNodePtr>(m_doc->doc)).firstNodeAtSubpath(path);
}

QString MiniXMLParser::firstValueAtPath(const QString &path) const
{
    return MiniXMLNode(m_doc, reinterpret_cast<xmlNodePtr>(m_doc->doc)).firstValueAtSubpath(path);
}

QString MiniXMLParser::nodeNamespace() const
{
    return m_doc->ns.isEmpty() ? QString() : QString::fromUtf8(m_doc->ns);
}

} // namespace pv
