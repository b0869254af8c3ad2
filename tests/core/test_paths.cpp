#include "common/fixtures.h"
#include "common/testenv.h"
#include "core/atomicfile.h"
#include "core/fileops.h"
#include "core/paths.h"
#include "core/settings.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

using namespace pv;
using pvtest::makeFile;

class TestPaths : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The lists hold transfer URLs with passwords: nobody else may read them,
    // whatever the umask, and what an older version left open is tightened.
    // A link planted where the scratch folder goes is not followed.
    void foldersArePrivate()
    {
        pvtest::IsolatedHome home;
        const mode_t oldMask = ::umask(022);
        constexpr QFile::Permissions others = QFile::Permissions(0x0077);
        QVERIFY(paths::appDir().startsWith(home.dataHome() + "/Tallowin/Parcelvane"));
        const QString planted = home.path() + "/elsewhere";
        QVERIFY(QDir().mkpath(planted) && QFile::link(planted, paths::scratchDir()));
        QVERIFY(paths::createAppFolders());
        const QString scratch = paths::scratchDir();
        QVERIFY(!QFileInfo(scratch).isSymLink() && QDir(planted).isEmpty());
        for (const QString &dir :
             {paths::makerDir(), paths::appDir(), paths::destinationsDir(), scratch})
            QVERIFY2(QFileInfo(dir).isDir() && !(QFile::permissions(dir) & others),
                     qPrintable(dir));
        QVERIFY(writeFileAtomically(paths::appFile("History.xml"), "x"));
        QCOMPARE(QFile::permissions(paths::appFile("History.xml")) & others, QFile::Permissions());

        const QString old = makeFile(paths::destinationsDir() + "/Old.dest");
        QVERIFY(QFile::setPermissions(paths::destinationsDir(), QFile::Permissions(0x7755)));
        QVERIFY(QFile::setPermissions(paths::appFile("History.xml"), QFile::Permissions(0x6644)));
        QCOMPARE(QFile::permissions(old) & others, QFile::Permissions(0x0044));
        paths::tightenDataFolder();
        for (const QString &p : {paths::destinationsDir(), old, paths::appFile("History.xml")})
            QCOMPARE(QFile::permissions(p) & others, QFile::Permissions());
        QVERIFY(QFile::permissions(old) & QFile::WriteOwner);
        ::umask(oldMask);

        // Start-up empties the scratch folder without following links out of it.
        QVERIFY(QDir().mkpath(scratch + "/Job.zip.d/sub"));
        makeFile(scratch + "/stale.zip");
        QVERIFY(QFile::link(planted, scratch + "/outside"));
        const QString kept = makeFile(planted + "/kept");
        paths::emptyScratchDir();
        QVERIFY(QDir(scratch).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                                      QDir::NoDotAndDotDot));
        QVERIFY(QFile::exists(kept));
    }

    // Settings read back what was stored last, also by another process.
    void settingsFollowTheirFile()
    {
        pvtest::IsolatedHome home;
        QVERIFY(!settings::contains("watchInterval"));
        settings::setValue("watchInterval", 3);
        QCOMPARE(settings::intValue("watchInterval"), 3);
        const QString file = settings::open()->fileName();
        QVERIFY(writeFileAtomically(file, "[General]\nwatchInterval=17\n"));
        QCOMPARE(settings::intValue("watchInterval"), 17);
    }

    void movingAndSizes()
    {
        QTemporaryDir dir;
        makeFile(dir.filePath("tree/sub/a"), 1000);
        QVERIFY(QFile::link(dir.filePath("tree/sub/a"), dir.filePath("tree/link")));
        QCOMPARE(pathSize(dir.filePath("tree")), quint64(1000));
        QVERIFY(copyPath(dir.filePath("tree"), dir.filePath("copy")));
        QVERIFY(QFileInfo(dir.filePath("copy/link")).isSymLink());
        QCOMPARE(pathSize(dir.filePath("copy")), quint64(1000));
        // Moves and removals are the delivery tests' (Done, Errors); a failure names its path.
        QString error;
        QVERIFY(!movePath(dir.filePath("nothing"), dir.filePath("x"), &error));
        QVERIFY(error.contains("nothing"));
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "test_paths.moc"
