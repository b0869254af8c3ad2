#include "destinations/destination.h"

#include "core/record.h"

namespace pv {

QString destTypeOf(const QVariantMap &dest)
{
    const QString t = recString(dest, dk::QFDestType);
    if (!t.isEmpty())
        return t;
    return recInt(dest, dk::type) != 0 ? kLocalDisk : kFtpServer;
}

const QStringList &deliveryOptionKeys()
{
    static const QStringList keys{dk::overwriteBtn,  dk::yearFolderBtn, dk::monthFolderBtn,
                                  dk::dateFolderBtn, dk::dateFormat,    dk::QFExpireFiles,
                                  dk::QFExpiryDays};
    return keys;
}

bool isUsableDestinationName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

std::optional<Alert> destinationNameAlert(const QString &name)
{
    if (name.isEmpty())
        return Alert{QStringLiteral("Destination name cannot be empty"), QString()};
    // NUL can be no part of a file name either.
    for (const QChar c : {u':', u'/', u'[', u']', u'\0'}) {
        if (name.contains(c))
            return Alert{QStringLiteral("Error"),
                         QStringLiteral("Destination names cannot contain the following "
                                        "characters: : / [ ]")};
    }
    if (name.startsWith(QLatin1Char('.')))
        return Alert{QStringLiteral("Error"),
                     QStringLiteral("Destination name cannot start with a period (.)")};
    return std::nullopt;
}

} // namespace pv
