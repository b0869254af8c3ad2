#pragma once

#include "common/fixtures.h"
#include "transfer/deliverytransfer.h"
#include "transfer/recordingdelegate.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUrl>
#include <QtTest>

#include <sys/xattr.h>

namespace tr = pv::transferreport;

// Receives a delivery's reports, keeps them in order and names each in events
// ("listing", "dateFolder:<path>", "finalName:<name>", "success", ...). A
// report off the main thread fails the test.
class TestReceiver : public pv::DeliveryTransferReceiver {
public:
    void receive(const pv::TransferReport &report) override
    {
        // In the order of the report types.
        static constexpr const char *kNames[] = {
            "listing", "creatingDir", "listed", "dateFolderTrouble", "dateFolder:", "finalName:",
            "target",  "start",       "item",   "progress",          "amounts",     "success",
            "error",   "unexpected"};
        static_assert(std::size(kNames) == std::variant_size_v<pv::TransferReport>);
        QString name = kNames[report.index()];
        if (auto *d = std::get_if<tr::DateFolderPath>(&report))
            name += dateFolderPath = d->path;
        if (auto *n = std::get_if<tr::FinalName>(&report))
            name += finalName = n->name;
        QVERIFY2(QThread::currentThread() == QCoreApplication::instance()->thread(),
                 "a report off the main thread");
        events << name;
        reports << report;
        if (onReport)
            onReport(report);
    }
    void cancelProcess() override { events << "cancel"; }

    // The reports of type T, oldest first.
    template <class T> QList<T> all() const
    {
        QList<T> out;
        for (const pv::TransferReport &r : reports)
            if (auto *t = std::get_if<T>(&r))
                out << *t;
        return out;
    }
    tr::Failed failure() const { return all<tr::Failed>().value(0); }

    QStringList events;
    QList<pv::TransferReport> reports;
    QString dateFolderPath, finalName;
    std::function<void(const pv::TransferReport &)> onReport;
};

namespace deliverytest {

using Events = QStringList;

// Writes data as the whole content of a file, making its folder first.
inline void writeFile(const QString &path, const QByteArray &data)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QVERIFY(pvtest::putBytes(path, data));
}

inline constexpr auto readFile = &pvtest::fileBytes;

inline QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                               QDir::System);
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
    return "file://localhost" + QUrl::fromLocalFile(folder).toString(QUrl::FullyEncoded).mid(7);
}

// Starts the delivery and serves the event loop until its worker has ended.
inline void run(pv::DeliveryTransfer &t)
{
    t.start();
    QTRY_VERIFY_WITH_TIMEOUT(t.isFinished(), 60000);
}

// Delivers p and returns the receiver with every report (each also handed to
// onReport with the transfer); cancels afterwards, which must change nothing.
inline TestReceiver
deliver(const QVariantMap &p, const pv::DeliveryTransfer::ControllerFactory &factory = {},
        std::function<void(const pv::TransferReport &, pv::DeliveryTransfer &)> onReport = {})
{
    TestReceiver r;
    pv::DeliveryTransfer t(&r, p);
    if (onReport)
        r.onReport = [&](const pv::TransferReport &report) { onReport(report, t); };
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

// Whether the folder takes user attributes (a probe attribute stays on it).
inline bool userXattrsWork(const QString &dir)
{
    return ::setxattr(QFile::encodeName(dir).constData(), "user.probe", "1", 1, 0) == 0;
}

// Expects the failed result to carry the error of d's failure message, the
// system error code.
template <class R> void expectFailure(const RecordingDelegate &d, const R &result, int code)
{
    QVERIFY(!result.ok());
    QCOMPARE(d.events.mid(d.events.size() - 2), Events({"start", "fail"}));
    QCOMPARE(QVariantList({d.errors.last().code, result.error().code, result.error().description}),
             QVariantList({code, code, d.errors.last().description}));
}

// An upload source that yields goodBytes of data, then fails to read; or
// cannot be opened at all.
struct FailingSource : pv::DataStreamSource {
    explicit FailingSource(qint64 goodBytes) : left(goodBytes) {}
    qint64 left;
    bool opens = true;
    bool openDataStream(void *) override { return opens; }
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

} // namespace deliverytest
