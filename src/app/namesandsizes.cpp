#include "app/namesandsizes.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <set>
#include <utility>

#include <fts.h>
#include <sys/stat.h>

namespace pv {

qint64 sizeK(const QString &path, const std::atomic<bool> *stop)
{
    QByteArray native = QFile::encodeName(path);
    char *roots[] = {native.data(), nullptr};
    // FTS_PHYSICAL without FTS_COMFOLLOW: like du, a link is counted as a
    // link, the named item included.
    FTS *fts = ::fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR, nullptr);
    if (!fts)
        return 0;
    std::set<std::pair<dev_t, ino_t>> linked;
    quint64 blocks = 0;
    bool any = false;
    while (FTSENT *e = ::fts_read(fts)) {
        if (stop && stop->load(std::memory_order_relaxed))
            break;
        switch (e->fts_info) {
        case FTS_D: // counted once, after its contents
        case FTS_DC:
        case FTS_DNR:
        case FTS_ERR:
        case FTS_NS:
        case FTS_NSOK:
            continue;
        default:
            break;
        }
        const struct stat *st = e->fts_statp;
        // A file with several names is counted at the first one only.
        if (!S_ISDIR(st->st_mode) && st->st_nlink > 1 &&
            !linked.insert({st->st_dev, st->st_ino}).second)
            continue;
        blocks += quint64(st->st_blocks);
        any = true;
    }
    ::fts_close(fts);
    // st_blocks are 512-byte units; du rounds kilobytes up.
    return any ? qint64((blocks + 1) / 2) : 0;
}

SizeMeter::SizeMeter(QObject *parent) : QObject(parent), m_worker(new QObject)
{
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
}

SizeMeter::~SizeMeter()
{
    m_stop = true;
    m_thread.quit();
    m_thread.wait();
}

void SizeMeter::measure(quint64 ticket, const QString &path)
{
    QMetaObject::invokeMethod(m_worker, [this, ticket, path] {
        if (m_stop)
            return;
        const qint64 k = sizeK(path, &m_stop);
        // Queued to this object: dropped if it is gone by then.
        QMetaObject::invokeMethod(
            this, [this, ticket, k] { Q_EMIT measured(ticket, k); }, Qt::QueuedConnection);
    });
}

QString composeFinalName(const QString &sourcePath, bool createDmg, bool zip)
{
    QString p = sourcePath;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    QString name = QFileInfo(p).fileName();
    name.replace(QLatin1Char('['), QLatin1Char('('));
    name.replace(QLatin1Char(']'), QLatin1Char(')'));
    if (createDmg)
        name += QStringLiteral(".dmg");
    else if (zip)
        name += QStringLiteral(".zip");
    return name;
}

QVariantList sourceState(const QString &path)
{
    qint64 size = 0;
    qint64 newest = 0;
    auto add = [&](const QString &p) {
        struct stat st {};
        if (::lstat(QFile::encodeName(p).constData(), &st) != 0)
            return;
        if (S_ISREG(st.st_mode))
            size += st.st_size;
        newest = qMax<qint64>(newest, qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec);
    };
    add(path);
    // Folders count too: their times change when an item is added or removed.
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        add(it.next());
    return {size, newest};
}

} // namespace pv
