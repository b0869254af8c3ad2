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

} // namespace pv
