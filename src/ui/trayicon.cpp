#include "ui/trayicon.h"

#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QStyle>
#include <QSystemTrayIcon>

namespace pv {

TrayIcon::TrayIcon(QMenu *menu, QObject *parent) : QObject(parent)
{
    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick)
            Q_EMIT clicked();
    });
    update();
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_tray->show();
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::setWatching(bool watching)
{
    if (std::exchange(m_watching, watching) != watching)
        update();
}

void TrayIcon::setProgress(double percent)
{
    // The icon changes by whole percents only, so a busy delivery does not
    // redraw the tray at every chunk.
    const double p = percent < 0 ? -1 : qBound(0.0, double(int(percent)), 100.0);
    if (std::exchange(m_progress, p) != p)
        update();
}

void TrayIcon::setStatus(const QString &status)
{
    if (std::exchange(m_status, status) != status)
        m_tray->setToolTip(toolTip());
}

void TrayIcon::setMailShown(bool shown)
{
    if (std::exchange(m_mail, shown) != shown)
        update();
}

bool TrayIcon::isShown() const
{
    return m_tray && m_tray->isVisible();
}

QString TrayIcon::toolTip() const
{
    QStringList lines{QStringLiteral("Parcelvane"),
                      m_watching ? QStringLiteral("Watching hot folders")
                                 : QStringLiteral("Not watching hot folders")};
    if (!m_status.isEmpty() && m_status != QLatin1String("Idle"))
        lines.append(m_status);
    if (m_progress > 0)
        lines.append(QStringLiteral("%1 % delivered").arg(int(m_progress)));
    if (m_mail)
        lines.append(QStringLiteral("Notification e-mail being sent"));
    return lines.join(QLatin1Char('\n'));
}

void TrayIcon::update()
{
    QStyle *style = QApplication::style();
    const QIcon base = QIcon::fromTheme(QStringLiteral("com.tallowin.Parcelvane"),
                                        style->standardIcon(QStyle::SP_DriveNetIcon));
    QIcon icon;
    for (const int size : {16, 22, 32, 48, 64}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        base.paint(&p, QRect(0, 0, size, size));
        // A ring fills clockwise with the delivery's progress.
        if (m_progress >= 0) {
            p.setPen(QPen(QColor(40, 120, 220), qMax(2, size / 8)));
            const int m = qMax(1, size / 16);
            p.drawArc(QRect(m, m, size - 2 * m, size - 2 * m), 90 * 16,
                      -int(m_progress * 360 * 16 / 100));
        }
        // Lower right: green while watching, grey when not.
        const int dot = qMax(5, size * 3 / 8);
        p.setPen(QPen(Qt::white, qMax(1, size / 16)));
        p.setBrush(m_watching ? QColor(40, 170, 60) : QColor(140, 140, 140));
        p.drawEllipse(QRect(size - dot, size - dot, dot - 1, dot - 1));
        if (m_mail) {
            const QIcon mail = QIcon::fromTheme(
                QStringLiteral("mail-send"), style->standardIcon(QStyle::SP_MessageBoxInformation));
            mail.paint(&p, QRect(0, 0, size / 2, size / 2));
        }
        p.end();
        icon.addPixmap(pm);
    }
    m_icon = icon;
    m_tray->setIcon(icon);
    m_tray->setToolTip(toolTip());
}

} // namespace pv
