#include "common/testenv.h"
#include "core/fileops.h"
#include "core/paths.h"

#include <QDir>
#include <QFile>

using namespace pv;

class TestPaths : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void foldersAndPrivateScratch()
    {
        pvtest::IsolatedHome home;
        QVERIFY(paths::appDir().startsWith(home.dataHome() + "/Tallowin/Parcelvane"));
        // A link planted where the scratch folder goes is not followed.
        const QString planted = home.path() + "/elsewhere";
        QDir().mkpath(planted);
        QVERIFY(QFile::link(planted, paths::scratchDir()));
        QVERIFY(paths::createAppFolders());
        QVERIFY(QDir(paths::destinationsDir()).exists());
        const QString scratch = paths::scratchDir();
        QVERIFY(!QFileInfo(scratch).isSymLink());
        QVERIFY(QFileInfo(scratch).isDir());
        QCOMPARE(QFile::permissions(scratch) & 0x0077, QFileDevice::Permissions());
        QVERIFY(QDir(planted).isEmpty());
    }

    void movingAndSizes()
    {
        QTemporaryDir dir;
        QDir().mkpath(dir.filePath("tree/sub"));
        QFile f(dir.filePath("tree/sub/a"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(1000, 'a'));
        f.close();
        QVERIFY(QFile::link(dir.filePath("tree/sub/a"), dir.filePath("tree/link")));
        QCOMPARE(pathSize(dir.filePath("tree")), quint64(1000));
        QVERIFY(copyPath(dir.filePath("tree"), dir.filePath("copy")));
        QVERIFY(QFileInfo(dir.filePath("copy/link")).isSymLink());
        QVERIFY(movePath(dir.filePath("copy"), dir.filePath("moved")));
        QCOMPARE(pathSize(dir.filePath("moved")), quint64(1000));
        QVERIFY(!pathExists(dir.filePath("copy")));
        QString error;
        QVERIFY(!movePath(dir.filePath("nothing"), dir.filePath("x"), &error));
        QVERIFY(error.contains("nothing"));
        QVERIFY(removePath(dir.filePath("moved")));
        QVERIFY(!pathExists(dir.filePath("moved")));
    }
};

QTEST_GUILESS_MAIN(TestPaths)
#include "test_paths.moc"
