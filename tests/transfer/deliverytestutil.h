#pragma once

#include "transfer/deliverytransfer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUrl>
#include <QtTest>

#include <sys/stat.h>
#include <sys/xattr.h>

// Receives a delivery's reports on the main thread and records them in order:
// "listing:<type>", "dateFolder:<path>", "finalName:<name>", "downloadURL",
// "start", "status:<type>" (with ":<field>" for updates), "cancel", "unexpected".
class TestReceiver : public pv::DeliveryTransferReceiver {
public:
    void readTransferProgress(const QVariantMap &status) override
    {
        check();
        QString e = QStringLiteral("status:") + status.value(QStringLiteral("type")).toString();
        if (status.contains(QStringLiteral("field")))
            e += QLatin1Char(':') + status.value(QStringLiteral("field")).toString();
        events << e;
        statuses << status;
        if (onStatus)
            onStatus(status);
    }
    void transferIsListingDirectory(const QVariantMap &report) override
    {
        check();
        events << QStringLiteral("listing:") + report.value(QStringLiteral("type")).toString();
        listings << report;
    }
    void transferDidStart() override
    {
        check();
        events << QStringLiteral("start");
    }
    void setDateFolderPath(const QString &path) override
    {
        check();
        events << QStringLiteral("dateFolder:") + path;
        dateFolderPath = path;
    }
    void setFinalName(const QString &name) override
    {
        check();
        events << QStringLiteral("finalName:") + name;
        finalName = name;
    }
    void setDownloadURLInItemDict() override
    {
        check();
        events << QStringLiteral("downloadURL");
    }
    void cancelProcess() override
    {
        check();
        events << QStringLiteral("cancel");
    }
    void transferDidFailUnexpectedly(const QString &message) override
    {
        check();
        events << QStringLiteral("unexpected");
        unexpected = message;
    }

    QVariantMap lastStatus(const QString &type) const
    {
        for (auto it = statuses.crbegin(); it != statuses.crend(); ++it)
            if (it->value(QStringLiteral("type")).toString() == type)
                return *it;
        return {};
    }
    QList<QVariantMap> statusesOf(const QString &type) const
    {
        QList<QVariantMap> out;
        for (const QVariantMap &s : statuses)
            if (s.value(QStringLiteral("type")).toString() == type)
                out << s;
        return out;
    }
    QStringList listingErrors() const
    {
        QStringList out;
        for (const QVariantMap &l : listings)
            if (l.value(QStringLiteral("type")).toString() == QLatin1String("error"))
                out << l.value(QStringLiteral("error")).toString();
        return out;
    }

    QStringList events;
    QList<QVariantMap> statuses;
    QList<QVariantMap> listings;
    QString dateFolderPath;
    QString finalName;
    QString unexpected;
    bool offMainThread = false;
    std::function<void(const QVariantMap &)> onStatus;

private:
    void check()
    {
        if (QThread::currentThread() != QCoreApplication::instance()->thread())
            offMainThread = true;
    }
};

namespace deliverytest {

inline void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(data), data.size());
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The URL the upload dispatch builds for a local folder.
inline QString localURL(const QString &folder)
{
    QString u = QUrl::fromLocalFile(folder).toString(QUrl::FullyEncoded);
    u.replace(QStringLiteral("file:///"), QStringLiteral("file://localhost/"));
    return u;
}

inline QDateTime mtime(const QString &path)
{
    return QFileInfo(path).lastModified().toUTC();
}

// A FolderContentsItem for path below root.
inline QVariantMap contentsItem(const QString &root, const QString &path, const QDateTime &moddate)
{
    struct stat st {};
    const bool isDir =
        ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
    return {{QStringLiteral("name"), QFileInfo(path).fileName()},
            {QStringLiteral("isFolder"), isDir},
            {QStringLiteral("localPath"), path},
            {QStringLiteral("subpath"), path.mid(root.size() + 1)},
            {QStringLiteral("moddate"), moddate},
            {QStringLiteral("creatdate"), moddate}};
}

// Every item below root, parents before their contents, names sorted.
inline void collect(const QString &root, const QString &dir, QVariantList *out,
                    const QDateTime &moddate)
{
    const QFileInfoList entries =
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
    for (const QFileInfo &e : entries) {
        out->append(contentsItem(root, e.filePath(), moddate));
        if (e.isDir() && !e.isSymLink())
            collect(root, e.filePath(), out, moddate);
    }
}

// TransferParameters for localPath delivered to url.
inline QVariantMap parameters(const QString &localPath, const QString &url, const QVariantMap &dest,
                              const QDateTime &moddate)
{
    QVariantMap p{{QStringLiteral("localPath"), localPath},
                  {QStringLiteral("url"), url},
                  {QStringLiteral("dest"), dest},
                  {QStringLiteral("moddate"), moddate},
                  {QStringLiteral("creatdate"), moddate}};
    if (QFileInfo(localPath).isDir()) {
        QVariantList items;
        collect(localPath, localPath, &items, moddate);
        qint64 size = 0;
        for (const QVariant &v : items)
            size += QFileInfo(v.toMap().value(QStringLiteral("localPath")).toString()).size();
        p.insert(QStringLiteral("isFolder"), true);
        p.insert(QStringLiteral("folderContents"), items);
        p.insert(QStringLiteral("numOfItemsInFolder"), items.size());
        p.insert(QStringLiteral("origSize"), size);
    } else {
        p.insert(QStringLiteral("origSize"), QFileInfo(localPath).size());
    }
    return p;
}

// The value of the tag attribute, or nullopt-like "\x01" when unreadable.
inline QByteArray tags(const QString &path)
{
    char buf[256];
    const ssize_t n =
        ::getxattr(QFile::encodeName(path).constData(), "user.xdg.tags", buf, sizeof buf);
    return n < 0 ? QByteArray("\x01") : QByteArray(buf, int(n));
}

inline bool userXattrsWork(const QString &dir)
{
    const QString probe = dir + QStringLiteral("/.xattr-probe");
    writeFile(probe, "x");
    const bool ok = ::setxattr(QFile::encodeName(probe).constData(), "user.probe", "1", 1, 0) == 0;
    QFile::remove(probe);
    return ok;
}

} // namespace deliverytest
