#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

struct _xmlNode;
struct _xmlDoc;

namespace pv {

class MiniXMLParser;

/// One element of a parsed document. Nodes share ownership of the document, so
/// they stay valid after the parser is gone. Used by one thread at a time.
class MiniXMLNode {
public:
    MiniXMLNode() = default;

    /// A default-constructed node stands for "none".
    [[nodiscard]] bool isNull() const { return m_node == nullptr; }
    /// The element's local name.
    [[nodiscard]] QString name() const;
    /// Text of the element's only child when that child is text, else a null string.
    [[nodiscard]] QString value() const;
    /// Element children (only those in the parser's namespace when it has one).
    [[nodiscard]] QList<MiniXMLNode> children() const;
    /// Element children with that local name (and namespace, as above).
    [[nodiscard]] QList<MiniXMLNode> childrenWithName(const QString &name) const;
    /// Follows a ":"-separated list of local names from this node.
    [[nodiscard]] MiniXMLNode firstNodeAtSubpath(const QString &path) const;
    /// Text of that node's first child when it is text, else a null string.
    [[nodiscard]] QString firstValueAtSubpath(const QString &path) const;

private:
    friend class MiniXMLParser;
    struct Document;
    MiniXMLNode(std::shared_ptr<const Document> doc, _xmlNode *node)
        : m_doc(std::move(doc)), m_node(node)
    {}
    bool matches(_xmlNode *child) const;

    std::shared_ptr<const Document> m_doc;
    _xmlNode *m_node = nullptr;
};

/// A parsed XML document with an optional namespace URI that path lookups and
/// children lists require of elements.
class MiniXMLParser {
public:
    /// Parses data; nullptr when it is not XML or has no root element. An empty
    /// nodeNamespace means none.
    [[nodiscard]] static std::unique_ptr<MiniXMLParser>
    parse(const QByteArray &data, const QString &nodeNamespace = QString());

    [[nodiscard]] MiniXMLNode rootNode() const;
    /// Follows a ":"-separated list of local names from the document, so the first
    /// name must be the root element's. A null node when a step is missing.
    [[nodiscard]] MiniXMLNode firstNodeAtPath(const QString &path) const;
    [[nodiscard]] QString firstValueAtPath(const QString &path) const;
    [[nodiscard]] QString nodeNamespace() const;

private:
    explicit MiniXMLParser(std::shared_ptr<const MiniXMLNode::Document> doc);
    std::shared_ptr<const MiniXMLNode::Document> m_doc;
};

} // namespace pv
