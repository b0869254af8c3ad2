#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>

class QMenu;
class QSystemTrayIcon;

namespace pv {

/// The icon in the desktop's tray: whether the hot folders are watched, the
/// progress of the delivery in processing and, while a notification goes
/// out, the mail mark; its menu reopens the windows. Where the desktop has
/// no tray the state is kept all the same (and read by tests).
class TrayIcon final : public QObject {
    Q_OBJECT

public:
    /// menu is not owned and must outlive the icon.
    explicit TrayIcon(QMenu *menu, QObject *parent = nullptr);
    ~TrayIcon() override;

    void setWatching(bool watching);
    /// Progress 0-100 of the delivery; negative: none in processing.
    void setProgress(double percent);
    void setStatus(const QString &status);
    void setMailShown(bool shown);

    [[nodiscard]] bool isWatching() const { return m_watching; }
    [[nodiscard]] bool isMailShown() const { return m_mail; }
    [[nodiscard]] QString toolTip() const;
    [[nodiscard]] QIcon icon() const { return m_icon; }
    /// Whether the icon is shown (the desktop has a tray).
    [[nodiscard]] bool isShown() const;

Q_SIGNALS:
    /// The icon itself was clicked.
    void clicked();

private:
    void update();

    QPointer<QSystemTrayIcon> m_tray;
    QIcon m_icon;
    bool m_watching = false;
    bool m_mail = false;
    double m_progress = -1;
    QString m_status;
};

} // namespace pv
