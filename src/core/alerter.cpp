#include "core/alerter.h"

#include "core/log.h"

namespace pv {

int LoggingAlerter::alert(const Alert &a)
{
    QString text = a.text;
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    const QString line =
        QStringLiteral("ALERT: %1: %2 [%3]").arg(a.title, text, a.buttons.value(a.defaultButton));
    switch (a.style) {
    case Alert::Style::Informational:
        log(lcCore(), line);
        break;
    case Alert::Style::Warning:
        warn(lcCore(), line);
        break;
    case Alert::Style::Critical:
        error(lcCore(), line);
        break;
    }
    return a.defaultButton;
}

} // namespace pv
