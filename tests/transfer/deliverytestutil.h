#pragma once

#include "transfer/deliverytransfer.h"
#include "transfer/recordingdelegate.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUrl>
#include <QtTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/xattr.h>
#include <unistd.h>

// Receives a delivery's reports and records them in order: "listing:<type>",
// "dateFolder:<path>", "finalName:<name>", "downloadURL", "start",
// "status:<type>[:<field>]", "cancel", "unexpected". Notes any report that
// arrives off the main thread.
class TestReceiver : public pv::DeliveryTransferReceiver {
public:
    // The typed reports, noted as the records the checks below read.
    void receive(const pv::TransferReport &report) override
    {
        namespace tr = pv::transferreport;
        if (std::holds_alternative<tr::ListingStarted>(report))
            note("listing:startListing");
        else if (std::holds_alternative<tr::CreatingFolders>(report))
            note("listing:creatingDir");
        else if (std::holds_alternative<tr::ListingEnded>(report))
            note("listing:endListing");
        else if (auto *e = std::get_if<tr::DateFolderTrouble>(&report)) {
            note("listing:error");
            listingErrors << e->text;
        } else if (auto *d = std::get_if<tr::DateFolderPath>(&report))
            note("dateFolder:" + (dateFolderPath = d->path));
        else if (auto *n = std::get_if<tr::FinalName>(&report))
            note("finalName:" + (finalName = n->name));
        else if (std::holds_alternative<tr::TargetFixed>(report))
            note("downloadURL");
        else if (std::holds_alternative<tr::Started>(report))
            note("start");
        else if (std::holds_alternative<tr::FailedUnexpectedly>(report))
            note("unexpected");
        else if (auto *i = std::get_if<tr::CurrentItem>(&report))
            status({{"type", "update"},
                    {"field", "statusField"},
                    {"isUploadingFolderContents", true},
                    {"itemInfo", i->itemInfo},
                    {"isFolder", i->isFolder}});
        else if (auto *p = std::get_if<tr::Progress>(&report))
            status({{"type", "progr"}, {"progr", p->fraction}});
        else if (auto *a = std::get_if<tr::Amounts>(&report))
            status({{"type", "update"},
                    {"field", "status2Field"},
                    {"doneSize", a->doneSize},
                    {"fullSize", a->fullSize},
                    {"speed", a->speed},
                    {"timeLeft", a->timeLeft},
                    {"isUploadingFolderContents", a->folderContents}});
        else if (std::holds_alternative<tr::Succeeded>(report))
            status({{"type", "success"}});
        else if (auto *f = std::get_if<tr::Failed>(&report))
            status({{"type", "error"}, {"error", f->error}, {"errorInfo", f->errorInfo}});
    }
    void cancelProcess() override { note("cancel"); }

    // The statuses of a type (and field, for updates), oldest first.
    QList<QVariantMap> statusesOf(const QString &type, const QString &field = {}) const
    {
        QList<QVariantMap> out;
        for (const QVariantMap &s : statuses)
            if (s.value("type") == type && (field.isEmpty() || s.value("field") == field))
                out << s;
        return out;
    }
    QString last(const char *key) const { return statuses.last().value(key).toString(); }

    QStringList events;
    QList<QVariantMap> statuses;
    QStringList listingErrors;
    QString dateFolderPath;
    QString finalName;
    bool offMainThread = false;
    std::function<void(const QVariantMap &)> onStatus;

private:
    void status(const QVariantMap &s)
    {
        const QString field = s.value("field").toString();
        note("status:" + s.value("type").toString() + (field.isEmpty() ? "" : ":" + field));
        statuses << s;
        if (onStatus)
            onStatus(s);
    }
    void note(const QString &event)
    {
        offMainThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
        events << event;
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

// size bytes that differ from chunk to chunk.
inline QByteArray pattern(qint64 size)
{
    QByteArray b(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        b[i] = char((i * 7 + i / 251) & 0xff);
    return b;
}

inline QDateTime mtime(const QString &path)
{
    return QFileInfo(path).lastModified().toUTC();
}

// The URL the upload dispatch builds for a local folder.
inline QString localURL(const QString &folder)
{
    return QUrl::fromLocalFile(folder)
        .toString(QUrl::FullyEncoded)
        .replace("file:///", "file://localhost/");
}

// Starts the delivery and serves the event loop until its worker has ended.
inline void run(pv::DeliveryTransfer &t)
{
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(t.isFinished(), 60000);
}

// Delivers p and returns the receiver with every report; cancels afterwards,
// which must change nothing.
inline TestReceiver deliver(const QVariantMap &p,
                            const pv::DeliveryTransfer::ControllerFactory &factory = {})
{
    TestReceiver r;
    pv::DeliveryTransfer t(&r, p);
    if (factory)
        t.setControllerFactory(factory);
    run(t);
    t.cancel(); // after the outcome: no report may follow
    return r;
}

// TransferParameters for localPath delivered to url; a folder lists every item
// below it, parents before their contents, names sorted.
inline QVariantMap parameters(const QString &localPath, const QString &url, const QVariantMap &dest,
                              const QDateTime &moddate)
{
    QVariantMap p{{"localPath", localPath},
                  {"url", url},
                  {"dest", dest},
                  {"moddate", moddate},
                  {"creatdate", moddate}};
    if (!QFileInfo(localPath).isDir()) {
        p.insert("origSize", QFileInfo(localPath).size());
        return p;
    }
    QVariantList items;
    qint64 size = 0;
    std::function<void(const QString &)> collect = [&](const QString &dir) {
        for (const QFileInfo &e : QDir(dir).entryInfoList(
                 QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Name)) {
            items.append(QVariantMap{{"name", e.fileName()},
                                     {"isFolder", e.isDir() && !e.isSymLink()},
                                     {"localPath", e.filePath()},
                                     {"subpath", e.filePath().mid(localPath.size() + 1)},
                                     {"moddate", moddate},
                                     {"creatdate", moddate}});
            size += e.isFile() ? e.size() : 0;
            if (e.isDir() && !e.isSymLink())
                collect(e.filePath());
        }
    };
    collect(localPath);
    p.insert("isFolder", true);
    p.insert("folderContents", items);
    p.insert("origSize", size);
    return p;
}

// dest with the tag option: tag applied, or only named when apply is off.
inline QVariantMap withTag(QVariantMap dest, const QString &tag, bool apply = true)
{
    dest.insert("QFFinderTagsDict",
                QVariantMap{{"QFApplyFinderTag", int(apply)}, {"QFFinderTag", tag}});
    return dest;
}

// The item's tag attribute, or "\x01" when it has none.
inline QByteArray tags(const QString &path)
{
    char buf[256];
    const ssize_t n =
        ::getxattr(QFile::encodeName(path).constData(), "user.xdg.tags", buf, sizeof buf);
    return n < 0 ? QByteArray("\x01") : QByteArray(buf, int(n));
}

inline bool userXattrsWork(const QString &dir)
{
    const QString probe = dir + "/.xattr-probe";
    writeFile(probe, "x");
    const bool ok = ::setxattr(QFile::encodeName(probe).constData(), "user.probe", "1", 1, 0) == 0;
    QFile::remove(probe);
    return ok;
}

// Expects d's last operation to have failed with the system error code.
inline void expectFailure(const RecordingDelegate &d, int code)
{
    QCOMPARE(d.events.mid(d.events.size() - 2), QStringList({"start", "fail"}));
    QCOMPARE(d.errors.last().code, code);
}

// An upload source that yields goodBytes of data, then fails to read.
struct FailingSource : pv::DataStreamSource {
    explicit FailingSource(qint64 goodBytes) : left(goodBytes) {}
    qint64 left;
    bool openDataStream(void *) override { return true; }
    qint64 readDataFromStream(void *, char *buffer, qint64 maxLength) override
    {
        const qint64 n = std::min(left, maxLength);
        if (n <= 0)
            return -1;
        memset(buffer, 'x', size_t(n));
        left -= n;
        return n;
    }
    qint64 writeDataToStream(void *, const char *, qint64) override { return -1; }
    void closeDataStream(void *) override {}
};

// A TCP port on 127.0.0.1 nobody listens on: bound, then released.
inline int closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

} // namespace deliverytest
