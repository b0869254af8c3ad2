#include "core/log.h"

#include <QDebug>

namespace pv {

void log(const QString &line)
{
    qInfo().noquote() << line;
}

} // namespace pv
