#include "ui/windowstate.h"

#include "core/settings.h"

#include <QEvent>
#include <QMainWindow>
#include <QWidget>

namespace pv {

namespace {
QString geometryKey(const QString &key)
{
    return QStringLiteral("windows/%1/geometry").arg(key);
}
QString layoutKey(const QString &key)
{
    return QStringLiteral("windows/%1/state").arg(key);
}

/// Saves a window's size and position whenever it is hidden or closed.
class StateKeeper final : public QObject {
public:
    StateKeeper(QWidget *w, QString key) : QObject(w), m_key(std::move(key))
    {
        restoreWindowState(w, m_key);
        w->installEventFilter(this);
    }
    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() == QEvent::Hide && o == parent())
            saveWindowState(static_cast<QWidget *>(o), m_key);
        return false;
    }

private:
    QString m_key;
};
} // namespace

void keepWindowState(QWidget *w, const QString &key)
{
    if (w && !key.isEmpty())
        new StateKeeper(w, key);
}

void restoreWindowState(QWidget *w, const QString &key)
{
    if (!w || key.isEmpty())
        return;
    auto s = settings::open();
    // restoreGeometry moves a window whose screen is gone back onto one that
    // is there, so a stored position never leaves it out of reach.
    const QByteArray geometry = s->value(geometryKey(key)).toByteArray();
    if (!geometry.isEmpty())
        w->restoreGeometry(geometry);
    if (auto *main = qobject_cast<QMainWindow *>(w)) {
        const QByteArray state = s->value(layoutKey(key)).toByteArray();
        if (!state.isEmpty())
            main->restoreState(state);
    }
}

void saveWindowState(const QWidget *w, const QString &key)
{
    if (!w || key.isEmpty())
        return;
    auto s = settings::open();
    s->setValue(geometryKey(key), w->saveGeometry());
    if (const auto *main = qobject_cast<const QMainWindow *>(w))
        s->setValue(layoutKey(key), main->saveState());
    s->sync();
}

} // namespace pv
