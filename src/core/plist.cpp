#include "core/plist.h"

#include "core/atomicfile.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>

#include <fcntl.h>
#include <unistd.h>

#include <plist/plist.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace pv::plist {
namespace {

// Property-list dates count seconds from 2001-01-01T00:00:00Z.
constexpr qint64 kAppleEpochOffset = 978307200;

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct CFree {
    void operator()(char *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, CFree>;

QVariant fromNode(plist_t node)
{
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char *rawKey = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &rawKey, &value);
            if (!value) {
                std::free(rawKey);
                break;
            }
            CString key(rawKey);
            map.insert(QString::fromUtf8(key.get()), fromNode(value));
        }
        std::free(it);
        return map;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        list.reserve(n);
        for (uint32_t i = 0; i < n; ++i)
            list.append(fromNode(plist_array_get_item(node, i)));
        return list;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char *raw = nullptr;
        plist_get_string_val(node, &raw);
        CString s(raw);
        return QString::fromUtf8(s.get());
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return bool(b);
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        // libplist keeps negative integers as their two's complement.
        return qlonglong(static_cast<int64_t>(v));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return d;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        const qint64 ms = (qint64(sec) + kAppleEpochOffset) * 1000 + usec / 1000;
        return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
    }
    case PLIST_DATA: {
        char *raw = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &raw, &len);
        CString d(raw);
        return QByteArray(d.get(), qsizetype(len));
    }
    case PLIST_UID: {
        uint64_t v = 0;
        plist_get_uid_val(node, &v);
        return qulonglong(v);
    }
    default:
        return {};
    }
}

plist_t toNode(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::QVariantMap: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = v.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            if (plist_t child = toNode(it.value()))
                plist_dict_set_item(dict, it.key().toUtf8().constData(), child);
        }
        return dict;
    }
    case QMetaType::QVariantHash: {
        QVariantMap map;
        const QVariantHash hash = v.toHash();
        for (auto it = hash.cbegin(); it != hash.cend(); ++it)
            map.insert(it.key(), it.value());
        return toNode(map);
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        plist_t array = plist_new_array();
        for (const QVariant &item : v.toList()) {
            if (plist_t child = toNode(item))
                plist_array_append_item(array, child);
        }
        return array;
    }
    case QMetaType::QString:
        return plist_new_string(v.toString().toUtf8().constData());
    case QMetaType::Bool:
        return plist_new_bool(v.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::Char:
    case QMetaType::SChar:
        return plist_new_uint(static_cast<uint64_t>(v.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return plist_new_uint(v.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(v.toDouble());
    case QMetaType::QDateTime: {
        const qint64 ms = v.toDateTime().toMSecsSinceEpoch();
        const qint64 sec = ms / 1000 - kAppleEpochOffset - (ms % 1000 < 0 ? 1 : 0);
        const qint64 usec = (ms - (sec + kAppleEpochOffset) * 1000) * 1000;
        return plist_new_date(int32_t(sec), int32_t(usec));
    }
    case QMetaType::QDate:
        return toNode(v.toDate().startOfDay(Qt::UTC));
    case QMetaType::QByteArray: {
        const QByteArray bytes = v.toByteArray();
        return plist_new_data(bytes.constData(), uint64_t(bytes.size()));
    }
    default:
        if (v.canConvert<QString>() && v.isValid() && !v.isNull())
            return plist_new_string(v.toString().toUtf8().constData());
        return nullptr;
    }
}

// Hostile files must not reach libplist unchecked: it builds and frees its
// trees recursively (a deep file overflows the stack, in libplist or in
// fromNode below), and it copies a binary object once per reference to it (a
// few hundred bytes can stand for billions of nodes).

// Binary objects that one file may expand to; far beyond any real record.
constexpr quint64 kMaxBinaryNodes = quint64(1) << 20;

/// The first occurrence of marker at or after p, or end. With skipQuotes,
/// double-quoted text is passed over whole, as libplist's XML parser does
/// inside tags, processing instructions and document types.
const char *findXml(const char *p, const char *end, std::string_view marker, bool skipQuotes)
{
    while (p < end) {
        if (std::string_view(p, size_t(end - p)).starts_with(marker))
            return p;
        if (skipQuotes && *p == '"') {
            p = static_cast<const char *>(std::memchr(p + 1, '"', size_t(end - p - 1)));
            if (!p)
                return end;
        }
        ++p;
    }
    return end;
}

/// The first of chars at or after p, passing over quoted text; end if none.
const char *findXmlAny(const char *p, const char *end, std::string_view chars)
{
    for (; p < end; ++p) {
        if (*p == '"') {
            p = findXml(p + 1, end, "\"", false);
            if (p == end)
                return end;
        } else if (chars.find(*p) != std::string_view::npos) {
            return p;
        }
    }
    return end;
}

/// Whether the arrays and dictionaries of an XML property list nest no
/// deeper than kMaxDepth. Reads the markup the way libplist's parser does
/// (comments, CDATA, processing instructions, document types, quoted
/// attribute text), so that no closing tag it ignores is counted here; a
/// file it would refuse may be counted either way.
bool xmlNestingWithinLimit(QByteArrayView xml)
{
    constexpr auto npos = std::string_view::npos;
    const char *p = xml.data();
    const char *const end = p + xml.size();
    const auto skipPast = [end](const char *from, std::string_view marker, bool quotes) {
        const char *at = findXml(from, end, marker, quotes);
        return at == end ? end : at + marker.size();
    };
    int depth = 0;
    while (p < end) {
        p = static_cast<const char *>(std::memchr(p, '<', size_t(end - p)));
        if (!p)
            break;
        ++p;
        const std::string_view rest(p, size_t(end - p));
        if (rest.starts_with('?')) {
            p = skipPast(p, "?>", true);
        } else if (rest.starts_with("!--")) {
            p = skipPast(p + 3, "-->", false);
        } else if (rest.starts_with("![CDATA[")) {
            p = skipPast(p + 8, "]]>", false);
        } else if (rest.starts_with("!DOCTYPE")) {
            p = findXmlAny(p + 8, end, "[>");
            if (p < end)
                p = *p == '[' ? skipPast(p, "]>", true) : p + 1;
        } else {
            const char *nameEnd = p;
            while (nameEnd < end && std::string_view(" \t\r\n<>").find(*nameEnd) == npos)
                ++nameEnd;
            const char *close = findXmlAny(nameEnd, end, "<>");
            if (close >= end)
                break;
            if (*close == '<') { // libplist refuses the file here
                p = close;
                continue;
            }
            // libplist copies the name as a C string and cuts it at the
            // "/" of an empty element.
            std::string_view name(p, size_t(nameEnd - p));
            const bool empty = close[-1] == '/';
            if (empty && close - 1 < nameEnd)
                name = name.substr(0, size_t(close - 1 - p));
            name = name.substr(0, name.find('\0'));
            p = close + 1;
            if (name == "array" || name == "dict") {
                if (depth >= kMaxDepth)
                    return false;
                // An empty root still takes the elements that follow it.
                if (!empty || depth == 0)
                    ++depth;
            } else if ((name == "/array" || name == "/dict") && depth > 0) {
                --depth;
            }
        }
    }
    return true;
}

/// Checks a binary property list's object table before libplist expands
/// it: every offset, count and reference lies inside the buffer, no object
/// contains itself, the objects nest no deeper than kMaxDepth and expand to
/// at most kMaxBinaryNodes nodes.
class BinaryPlistCheck {
public:
    explicit BinaryPlistCheck(QByteArrayView bytes)
        : m_data(reinterpret_cast<const uchar *>(bytes.data())), m_size(quint64(bytes.size()))
    {}

    bool ok()
    {
        constexpr quint64 kHeader = 8, kTrailer = 32;
        if (m_size < kHeader + kTrailer)
            return false;
        const uchar *trailer = m_data + m_size - kTrailer;
        m_offsetSize = trailer[6];
        m_refSize = trailer[7];
        m_count = readUInt(trailer + 8, 8);
        const quint64 root = readUInt(trailer + 16, 8);
        m_table = readUInt(trailer + 24, 8);
        if (m_offsetSize < 1 || m_offsetSize > 8 || m_refSize < 1 || m_refSize > 8 || m_count < 1 ||
            m_count > kMaxBinaryNodes || root >= m_count || m_table < kHeader ||
            m_table > m_size - kTrailer || m_count > (m_size - kTrailer - m_table) / m_offsetSize)
            return false;
        m_nodes.assign(m_count, 0);
        m_height.assign(m_count, 0);
        quint64 nodes = 0;
        return visit(root, 0, nodes);
    }

private:
    static quint64 readUInt(const uchar *p, int size)
    {
        quint64 v = 0;
        for (int i = 0; i < size; ++i)
            v = (v << 8) | p[i];
        return v;
    }

    // Objects and the references they hold lie between the header and the
    // offset table. depth counts the containers above the object.
    bool visit(quint64 index, int depth, quint64 &nodes)
    {
        if (index >= m_count)
            return false;
        if (m_nodes[index] == kOnPath)
            return false;
        if (m_nodes[index] != 0) {
            nodes = m_nodes[index];
            return depth + m_height[index] <= kMaxDepth;
        }
        const quint64 offset = readUInt(m_data + m_table + index * m_offsetSize, m_offsetSize);
        if (offset < 8 || offset >= m_table)
            return false;
        const int type = m_data[offset] >> 4;
        quint64 count = m_data[offset] & 0x0F;
        if (type != 0xA && type != 0xC && type != 0xD) {
            m_nodes[index] = nodes = 1;
            return true;
        }
        if (depth >= kMaxDepth)
            return false;
        quint64 refs = offset + 1;
        if (count == 0x0F) {
            // The count follows as an integer object of 1, 2, 4 or 8 bytes.
            if (refs >= m_table || (m_data[refs] >> 4) != 1 || (m_data[refs] & 0x0F) > 3)
                return false;
            const int size = 1 << (m_data[refs] & 0x0F);
            if (quint64(size) >= m_table - refs)
                return false;
            count = readUInt(m_data + refs + 1, size);
            refs += 1 + quint64(size);
        }
        const quint64 perEntry = type == 0xD ? 2 : 1;
        if (count > (m_table - refs) / m_refSize / perEntry)
            return false;
        m_nodes[index] = kOnPath;
        quint64 total = 1;
        int height = 0;
        for (quint64 i = 0; i < count * perEntry; ++i) {
            const quint64 child = readUInt(m_data + refs + i * m_refSize, m_refSize);
            quint64 childNodes = 0;
            if (!visit(child, depth + 1, childNodes))
                return false;
            total += childNodes;
            if (total > kMaxBinaryNodes)
                return false;
            height = std::max(height, int(m_height[child]));
        }
        m_nodes[index] = quint32(total);
        m_height[index] = quint16(height + 1);
        nodes = total;
        return true;
    }

    static constexpr quint32 kOnPath = ~quint32(0);
    const uchar *m_data;
    quint64 m_size;
    int m_offsetSize = 0;
    int m_refSize = 0;
    quint64 m_count = 0;
    quint64 m_table = 0;
    std::vector<quint32> m_nodes;  // expanded size per object; 0 while unknown
    std::vector<quint16> m_height; // containers from the object down, itself included
};

} // namespace

QVariant parse(const QByteArray &bytes, QString *error)
{
    plist_t root = nullptr;
    if (bytes.size() >= 8 && plist_is_binary(bytes.constData(), uint32_t(bytes.size()))) {
        if (!BinaryPlistCheck(bytes).ok()) {
            if (error)
                *error = QStringLiteral("binary property list is malformed, too large or "
                                        "nested too deeply");
            return {};
        }
        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    } else if (!bytes.isEmpty()) {
        if (!xmlNestingWithinLimit(bytes)) {
            if (error)
                *error = QStringLiteral("property list nested too deeply");
            return {};
        }
        plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &root);
    }
    if (!root) {
        if (error)
            *error = QStringLiteral("not a property list");
        return {};
    }
    PlistPtr guard(root);
    return fromNode(root);
}

QVariant readFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return {};
    }
    return parse(file.readAll(), error);
}

QByteArray toXml(const QVariant &value)
{
    plist_t root = toNode(value);
    if (!root)
        root = plist_new_dict();
    PlistPtr guard(root);
    char *xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(root, &xml, &len);
    QByteArray out(xml, qsizetype(len));
    plist_to_xml_free(xml);
    return out;
}

bool writeFile(const QString &path, const QVariant &value, QString *error)
{
    return writeFileAtomically(path, toXml(value), error);
}

namespace {

// The bytes around the elements of a non-empty root array, and the whole
// empty one, as the library writes them.
struct ArrayFrame {
    QByteArray head;
    QByteArray tail;
    QByteArray empty;
};

const ArrayFrame &arrayFrame()
{
    static const ArrayFrame frame = [] {
        // A marker element shows where elements go.
        const QByteArray marker = "pv-element-marker-5c1e";
        const QByteArray one = toXml(QVariantList{QString::fromLatin1(marker)});
        const QByteArray element = arrayElementXml(QString::fromLatin1(marker));
        const qsizetype at = one.indexOf(element);
        ArrayFrame f;
        f.head = one.left(at);
        f.tail = one.mid(at + element.size());
        f.empty = toXml(QVariantList{});
        return f;
    }();
    return frame;
}

} // namespace

QByteArray arrayElementXml(const QVariant &value)
{
    // Serialised inside a one-element array, cut out of it: the
    // indentation (and the line breaks of data) depend on the depth.
    plist_t array = plist_new_array();
    PlistPtr guard(array);
    if (plist_t child = toNode(value))
        plist_array_append_item(array, child);
    else
        return {};
    char *xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(array, &xml, &len);
    const QByteArray all(xml, qsizetype(len));
    plist_to_xml_free(xml);
    static const QByteArray open = "<array>\n";
    static const QByteArray close = "</array>\n";
    const qsizetype from = all.indexOf(open);
    const qsizetype to = all.lastIndexOf(close);
    return from < 0 || to < from ? QByteArray()
                                 : all.mid(from + open.size(), to - from - open.size());
}

QByteArray arrayXml(const QList<QByteArray> &elements)
{
    const ArrayFrame &frame = arrayFrame();
    qsizetype size = frame.head.size() + frame.tail.size();
    for (const QByteArray &e : elements)
        size += e.size();
    if (size == frame.head.size() + frame.tail.size())
        return frame.empty;
    QByteArray out;
    out.reserve(size);
    out.append(frame.head);
    for (const QByteArray &e : elements)
        out.append(e);
    out.append(frame.tail);
    return out;
}

bool writeArrayFile(const QString &path, const QList<QByteArray> &elements, QString *error)
{
    if (elements.isEmpty())
        return writeFileAtomically(path, arrayXml(elements), error);
    // Piece by piece: a long list is not copied into one buffer first.
    const ArrayFrame &frame = arrayFrame();
    QSaveFile file(path);
    // The application's files hold credentials: private whatever the umask.
    bool ok = file.open(QIODevice::WriteOnly) &&
              file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) &&
              file.write(frame.head) == frame.head.size();
    for (qsizetype i = 0; ok && i < elements.size(); ++i)
        ok = file.write(elements.at(i)) == elements.at(i).size();
    ok = ok && file.write(frame.tail) == frame.tail.size() && file.commit();
    if (!ok && error)
        *error = file.errorString();
    return ok;
}

namespace {

// Copies n bytes from the start of in to out's position, in the kernel when
// it can.
bool copyPrefix(int in, int out, qint64 n)
{
    loff_t from = 0;
    while (n > 0) {
        const ssize_t done = ::copy_file_range(in, &from, out, nullptr, size_t(n), 0);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            break;
        n -= done;
    }
    // Where the kernel cannot copy between these files, through a buffer.
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    while (n > 0) {
        const ssize_t got =
            ::pread(in, buffer.data(), size_t(qMin<qint64>(n, buffer.size())), from);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        for (ssize_t put = 0; put < got;) {
            const ssize_t w = ::write(out, buffer.constData() + put, size_t(got - put));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            put += w;
        }
        from += got;
        n -= got;
    }
    return true;
}

} // namespace

namespace {

bool writeAllAt(int fd, const QByteArray &bytes, qint64 at)
{
    for (qsizetype put = 0; put < bytes.size();) {
        const ssize_t w =
            ::pwrite(fd, bytes.constData() + put, size_t(bytes.size() - put), off_t(at + put));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        put += w;
    }
    return true;
}

// Copies n bytes of in at from to out at to, in the kernel when it can.
bool copyRange(int in, qint64 from, int out, qint64 to, qint64 n)
{
    while (n > 0) {
        loff_t f = from;
        loff_t t = to;
        const ssize_t done = ::copy_file_range(in, &f, out, &t, size_t(n), 0);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            break;
        from += done;
        to += done;
        n -= done;
    }
    if (n <= 0)
        return true;
    QByteArray buffer(qsizetype(qMin<qint64>(n, 1 << 20)), Qt::Uninitialized);
    while (n > 0) {
        const ssize_t got =
            ::pread(in, buffer.data(), size_t(qMin<qint64>(n, buffer.size())), off_t(from));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || !writeAllAt(out, QByteArray::fromRawData(buffer.constData(), got), to))
            return false;
        from += got;
        to += got;
        n -= got;
    }
    return true;
}

} // namespace

bool writeArrayFileReusing(const QString &path, QList<ElementSpan> *spans,
                           const std::function<QByteArray(qsizetype)> &xmlOf,
                           WrittenArrayFile *last, QString *error)
{
    const ArrayFrame &frame = arrayFrame();
    // Replaced or changed since: nothing in it can be trusted.
    const bool reuse = last->file.isOpen() && last->size >= 0 && last->file.size() == last->size;
    QList<ElementSpan> placed(spans->size());
    QSaveFile file(path);
    // The application's files hold credentials: private whatever the umask.
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
              file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    const int out = ok ? file.handle() : -1;
    qint64 pos = 0;
    QByteArray fresh; // made elements not yet written, from pos on
    qint64 runFrom = -1;
    qint64 runSize = 0; // old bytes not yet copied, from pos on
    const auto flushFresh = [&] {
        ok = ok && writeAllAt(out, fresh, pos);
        pos += fresh.size();
        fresh.clear();
    };
    const auto flushRun = [&] {
        ok = ok && copyRange(last->file.handle(), runFrom, out, pos, runSize);
        pos += runSize;
        runFrom = -1;
        runSize = 0;
    };
    if (spans->isEmpty())
        fresh = frame.empty;
    else
        fresh = frame.head;
    for (qsizetype i = 0; ok && i < spans->size(); ++i) {
        const ElementSpan span = spans->at(i);
        if (reuse && span.offset >= 0) {
            if (!fresh.isEmpty())
                flushFresh();
            if (runSize > 0 && runFrom + runSize != span.offset)
                flushRun();
            if (runSize == 0)
                runFrom = span.offset;
            placed[i] = {pos + runSize, span.size};
            runSize += span.size;
            continue;
        }
        if (runSize > 0)
            flushRun();
        const QByteArray xml = xmlOf(i);
        placed[i] = {pos + fresh.size(), xml.size()};
        fresh.append(xml);
        if (fresh.size() >= (1 << 20))
            flushFresh();
    }
    if (runSize > 0)
        flushRun();
    if (!spans->isEmpty())
        fresh.append(frame.tail);
    flushFresh();
    ok = ok && file.commit();
    if (!ok) {
        if (error)
            *error = file.errorString();
        return false;
    }
    *spans = std::move(placed);
    last->file.close();
    last->file.setFileName(path);
    last->size = last->file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ? pos : -1;
    if (last->size >= 0 && last->file.size() != pos) {
        // Replaced at once by someone else.
        last->file.close();
        last->size = -1;
    }
    return true;
}

bool appendToArrayFile(const QString &path, const QList<QByteArray> &elements, QString *error)
{
    error->clear();
    const QByteArray &tail = arrayFrame().tail;
    QFile old(path);
    if (!old.exists() || (old.size() == arrayFrame().empty.size() &&
                          old.open(QIODevice::ReadOnly) && old.readAll() == arrayFrame().empty))
        return writeArrayFile(path, elements, error);
    old.close();
    if (!old.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    const qint64 keep = old.size() - tail.size();
    if (keep <= arrayFrame().head.size() || !old.seek(keep) || old.read(tail.size()) != tail)
        return false;
    QByteArray added;
    for (const QByteArray &e : elements)
        added.append(e);
    added.append(tail);
    QSaveFile file(path);
    // The application's files hold credentials: private whatever the umask.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
        !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner) ||
        !copyPrefix(old.handle(), file.handle(), keep) || !file.seek(keep) ||
        file.write(added) != added.size() || !file.commit()) {
        *error = file.errorString().isEmpty() ? QStringLiteral("could not copy %1").arg(path)
                                              : file.errorString();
        return false;
    }
    return true;
}

QVariant lastArrayElement(const QString &path)
{
    const ArrayFrame &frame = arrayFrame();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Elements of the root array start one tab in; the records of a list
    // are far smaller than this.
    const qint64 window = qMin<qint64>(file.size(), 1 << 20);
    if (!file.seek(file.size() - window))
        return {};
    const QByteArray end = file.read(window);
    if (!end.endsWith(frame.tail))
        return {};
    // The last line one tab in that opens an element (not "\t</dict>").
    qsizetype at = end.size();
    for (;;) {
        at = at > 0 ? end.lastIndexOf("\n\t<", at - 1) : -1;
        if (at < 0 || end.at(at + 3) != '/')
            break;
    }
    if (at < 0 || (window == file.size() && at + 1 < frame.head.size()))
        return {};
    const QVariant root =
        parse(frame.head + end.mid(at + 1, end.size() - at - 1 - frame.tail.size()) + frame.tail);
    return root.toList().size() == 1 ? root.toList().first() : QVariant();
}

} // namespace pv::plist
