#include "core/record.h"

namespace pv {

bool boolValue(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Long:
    case QMetaType::ULong:
        return v.toLongLong() != 0;
    case QMetaType::Double:
    case QMetaType::Float:
        return v.toDouble() != 0.0;
    case QMetaType::QString: {
        // Settings files store every value as text.
        const QString s = v.toString().trimmed().toLower();
        return s == QLatin1String("true") || s == QLatin1String("yes") || s.toLongLong() != 0;
    }
    default:
        return false;
    }
}

qint64 intValue(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool() ? 1 : 0;
    case QMetaType::Double:
    case QMetaType::Float:
        return qint64(v.toDouble());
    case QMetaType::QString: {
        const QString s = v.toString().trimmed();
        if (s.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return 1;
        bool ok = false;
        const qint64 n = s.toLongLong(&ok);
        return ok ? n : qint64(s.toDouble());
    }
    default:
        return v.canConvert<qlonglong>() ? v.toLongLong() : 0;
    }
}

} // namespace pv
