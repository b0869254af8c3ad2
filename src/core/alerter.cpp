#include "core/alerter.h"

#include "core/log.h"

namespace pv {

int LoggingAlerter::alert(const Alert &a)
{
    QString text = a.text;
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    log(lcCore(),
        QStringLiteral("ALERT: %1: %2 [%3]").arg(a.title, text, a.buttons.value(a.defaultButton)));
    return a.defaultButton;
}

} // namespace pv
