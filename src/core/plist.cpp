#include "core/plist.h"

#include "core/atomicfile.h"

#include <QDateTime>
#include <QFile>

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

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

} // namespace

QVariant parse(const QByteArray &bytes, QString *error)
{
    plist_t root = nullptr;
    if (bytes.size() >= 8 && plist_is_binary(bytes.constData(), uint32_t(bytes.size())))
        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    else if (!bytes.isEmpty())
        plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &root);
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

} // namespace pv::plist
