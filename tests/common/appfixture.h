#pragma once

#include "app/appcontroller.h"
#include "app/queueitem.h"
#include "common/fixtures.h"
#include "common/recordingui.h"
#include "common/testenv.h"
#include "records/historypaneltable.h"

#include <functional>
#include <memory>

namespace pvtest {

/// An application controller in a private home, fed the way the hot-folder
/// watcher feeds it. Mixed into the application's test classes: call
/// freshHome() from init() and tearDown() from cleanup().
struct AppFixture {
    std::unique_ptr<IsolatedHome> m_home;
    std::unique_ptr<RecordingUserInterface> m_ui;
    std::unique_ptr<pv::AppController> m_app;

    void freshHome()
    {
        m_home = std::make_unique<IsolatedHome>();
        QDir().mkpath(pv::paths::destinationsDir());
    }
    void tearDown()
    {
        m_app.reset();
        m_ui.reset();
        m_home.reset();
    }
    QString home() const { return m_home->path(); }
    QString hot(const QString &dest) const { return home() + "/hot/" + dest; }

    /// A local-folder destination that transfers into dir, with its own hot folder.
    QVariantMap local(const QString &name, const QString &dir, const QVariantMap &extra = {}) const
    {
        QDir().mkpath(dir);
        QDir().mkpath(hot(name));
        QVariantMap rec{{"name", name},
                        {"QFDestType", "Local Disk"},
                        {"type", 1},
                        {"pathField", dir},
                        {"sendFTPBtn", 1},
                        {"sendEmailBtn", 0},
                        {"QFHotfolder", hot(name)}};
        rec.insert(extra);
        return rec;
    }

    /// Starts the controller; beforeStartup runs once it exists.
    void start(const std::function<void()> &beforeStartup = {})
    {
        m_ui = std::make_unique<RecordingUserInterface>();
        m_app = std::make_unique<pv::AppController>(m_ui.get());
        if (beforeStartup)
            beforeStartup();
        m_app->startup();
    }

    /// A queue entry for path inside the hot folder of dest.
    QVariantMap entry(const QString &dest, const QString &path) const
    {
        return {{pv::qk::path, path}, {pv::qk::hotfolder, hot(dest)}, {pv::qk::dest, dest}};
    }
    /// Hands over path as the watcher does, with the size it saw.
    void drop(const QString &dest, const QString &path) const
    {
        QVariantMap e = entry(dest, path);
        e.insert(pv::qk::origSize, qint64(QFileInfo(path).size()));
        m_app->checkForCode(e);
    }
    bool waitIdle(int ms = 60000) const
    {
        return QTest::qWaitFor([this] { return !m_app->isProcessing() && !m_app->isMeasuring(); },
                               ms);
    }
    /// Hands over path and serves the event loop until the controller is idle.
    void deliver(const QString &dest, const QString &path) const
    {
        drop(dest, path);
        QVERIFY(waitIdle());
    }
    QString errorsText() const
    {
        QString all;
        for (const QVariantMap &e : m_app->errors().items())
            all += e.value("error").toString() + "\n";
        return all;
    }
    static QList<QVariantMap> history() { return fileRecords("History.xml"); }
    /// One field of every history entry, oldest first.
    static QStringList outcomes(const QString &key = "success")
    {
        QStringList out;
        for (const QVariantMap &rec : history())
            out << rec.value(key).toString();
        return out;
    }
};

} // namespace pvtest
