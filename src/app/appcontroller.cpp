#include "app/appcontroller.h"

#include "app/namesandsizes.h"
#include "app/queueitem.h"
#include "core/dates.h"
#include "core/fileops.h"
#include "core/journal.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "destinations/destinationseditor.h"
#include "expiry/fileexpiry.h"
#include "hotfolders/hotfolderwatcher.h"
#include "notify/emailsettings.h"
#include "notify/notification.h"
#include "prefs/prefs.h"
#include "records/historypaneltable.h"
#include "records/historytable.h"
#include "records/queuetable.h"
#include "records/senttable.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

namespace pv {

namespace {

QString nowText(const char *format)
{
    // The formats count whole seconds: a burst's entries share one text
    // instead of holding a copy each.
    static const char *lastFormat = nullptr;
    static qint64 lastSecond = -1;
    static QString lastText;
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 second = now.toSecsSinceEpoch();
    if (format != lastFormat || second != lastSecond) {
        lastText = formatDate(now, format);
        lastFormat = format;
        lastSecond = second;
    }
    return lastText;
}

} // namespace

QString destinationCodeFromName(const QString &fileName, bool isFolder)
{
    QString stem = fileName;
    if (!isFolder) {
        const int dot = stem.lastIndexOf(QLatin1Char('.'));
        if (dot <= 0)
            return {};
        stem.truncate(dot);
    }
    const int dot = stem.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? stem.mid(dot + 1) : QString();
}

AppController::AppController(UserInterface *ui, QObject *parent)
    : QObject(parent), m_ui(ui), m_destinations(std::make_unique<DestinationsEditor>(ui)),
      m_queue(std::make_unique<QueueTable>(ui)), m_sent(std::make_unique<SentTable>(ui)),
      m_history(std::make_unique<HistoryTable>(ui)),
      m_errors(std::make_unique<HistoryPanelTable>()),
      m_journal(Journal::forFolder(paths::appDir())), m_settleTimer(new QTimer(this))
{
    m_settleTimer->setSingleShot(true);
    m_settleTimer->setInterval(kSettleAfterMs);
    connect(m_settleTimer, &QTimer::timeout, this, [this] { settleAll(); });
    // A source shared by several entries stays in its hot folder while the
    // entry in processing still needs it.
    m_queue->setPathInUse(
        [this](const QString &path) { return m_isProcessing && m_processingPath == path; });

    m_watcher = std::make_unique<HotfolderWatcher>(m_destinations.get());
    m_watcher->setItemHandler([this](const QVariantMap &item) { checkForCode(item); });
    m_watcher->setQueuedPaths([this] {
        QSet<QString> paths;
        for (const QVariantMap &entry : m_queue->items())
            paths.insert(recString(entry, qk::path));
        for (const Measuring &m : m_measuring)
            paths.insert(recString(m.item, qk::path));
        if (m_isProcessing)
            paths.insert(m_processingPath);
        return paths;
    });
    m_forgetPath = [this](const QString &path) { m_watcher->removeFromFilesInProcessing(path); };
    m_destinations->setStartWatchingHook([this] {
        if (m_recovering)
            m_watchAfterRecovery = true;
        else
            m_watcher->startWatching();
    });
    m_emailSettings = std::make_unique<EmailSettings>(ui);
    m_expiry = std::make_unique<FileExpiry>();
    // The status line belongs to the entry in processing while there is one.
    m_expiry->setStatusHandler([this](const QString &text) {
        if (!m_isProcessing)
            m_ui->setStatus(text);
    });
    m_expiry->setErrorHandler([this](const QString &text) { logExpiryError(text); });
    m_expiry->setDestinationLookup([this](const QString &name) { return destDictForName(name); });
    m_sizes = std::make_unique<SizeMeter>();
    connect(m_sizes.get(), &SizeMeter::measured, this, &AppController::itemMeasured);
    // The user may take command-line items out of the queue.
    connect(m_queue.get(), &QAbstractItemModel::rowsRemoved, this,
            &AppController::settleQueuedNotes);
    connect(m_queue.get(), &QAbstractItemModel::modelReset, this,
            &AppController::settleQueuedNotes);
}

AppController::~AppController()
{
    // Before the lists and the interface it uses go.
    m_run.reset();
    settleAll();
    if (m_sweeper) {
        m_stopSweeping = true;
        m_sweeper->wait();
    }
}

void AppController::startup()
{
    paths::createAppFolders();
    log(QStringLiteral("Parcelvane %1").arg(QStringLiteral(PV_VERSION)));
    m_emailSettings->load();
    m_destinations->load();
    // The hot folders start watching once recovery has ended.
    m_recovering = true;
    m_destinations->startup();
    recoverInterruptedWork();
    m_expiry->startWatching();
    m_destWinShown =
        !settings::contains(keys::showDestWin) || settings::boolValue(keys::showDestWin);
    if (m_destWinShown)
        m_ui->bringToFront(UserInterface::Window::Destinations);
    m_ui->bringToFront(UserInterface::Window::Processing);
    m_ui->setProgress(0);
    setSendButton(kStopTitle, false);
}

void AppController::setSendButton(const QString &title, bool enabled)
{
    m_sendTitle = title;
    m_sendEnabled = enabled;
    m_ui->setSendButton(title, enabled);
}

QVariantMap AppController::destDictForName(const QString &name) const
{
    struct stat st {};
    const QByteArray file = QFile::encodeName(m_destinations->dir() + QLatin1Char('/') + name +
                                              QStringLiteral(".dest"));
    if (name.isEmpty() || ::stat(file.constData(), &st) != 0) {
        m_destCache.remove(name);
        return m_destinations->destDictForName(name);
    }
    // A rewrite replaces the file (a new inode) or at least changes its time.
    QByteArray stamp;
    for (const long long v : {(long long)st.st_ino, (long long)st.st_size,
                              (long long)st.st_mtim.tv_sec, (long long)st.st_mtim.tv_nsec,
                              (long long)st.st_ctim.tv_sec, (long long)st.st_ctim.tv_nsec})
        stamp.append(reinterpret_cast<const char *>(&v), sizeof v);
    const auto it = m_destCache.constFind(name);
    if (it != m_destCache.cend() && it->stamp == stamp)
        return it->record;
    const QVariantMap record = m_destinations->destDictForName(name);
    if (m_destCache.size() > 256)
        m_destCache.clear();
    m_destCache.insert(name, {stamp, record});
    return record;
}

void AppController::checkForCode(const QVariantMap &input)
{
    QVariantMap item = input;
    const QString path = recString(item, qk::path);
    const QFileInfo info(path);
    if (info.suffix() == QLatin1String("dest")) {
        // A dropped destination file selects that destination; nothing is queued.
        const QString name = info.fileName().chopped(5);
        const int row = m_destinations->indexOfName(name);
        if (row >= 0) {
            m_destinations->setSelectedRow(row);
            m_ui->bringToFront(UserInterface::Window::Destinations);
            m_destWinShown = true;
            m_ui->selectDestination(name);
        }
        return;
    }
    if (const QString why = refusalFor(item); !why.isEmpty()) {
        refuse(item, why);
        return;
    }
    const bool isFolder = info.isDir();
    item.insert(qk::isFolder, isFolder);

    if (lastPathComponent(recString(item, qk::hotfolder)) !=
        Prefs::nameOfCodeBasedDeliveryHotFolder()) {
        m_ui->bringToFront(UserInterface::Window::Processing);
        addToQueue(item);
        return;
    }

    const QString code = destinationCodeFromName(lastPathComponent(path), isFolder);
    if (code.isEmpty()) {
        log(QStringLiteral("--> checkForCode: no destination code in %1, ignored").arg(path));
        return;
    }
    m_destinations->writeCurrDestination();
    const QDir dir(m_destinations->dir());
    for (const QString &entry :
         dir.entryList({QStringLiteral("*.dest")}, QDir::Files, QDir::Name)) {
        const QVariantMap rec = readDestinationFile(dir.filePath(entry));
        if (!rec.isEmpty() && recString(rec, dk::QFDestCode) == code) {
            m_initialDestDictForCodeBasedDelivery = rec;
            item.insert(qk::dest, recString(rec, dk::name));
            addToQueue(item);
            return;
        }
    }
    item.insert(qk::dest, QStringLiteral("<invalid destination code>"));
    item.insert(qk::error,
                QStringLiteral("Destination not found:\nThe code \"%1\" is not assigned to any "
                               "destination.")
                    .arg(code));
    moveFileToErrorsBeforeAddingToQueue(item, Effect::NotDelivered);
}

void AppController::addToQueue(const QVariantMap &input)
{
    QVariantMap item = input;
    const QString path = recString(item, qk::path);
    item.insert(qk::name, lastPathComponent(path));
    log(QStringLiteral("--> addToQueue: %1").arg(path));
    if (const QString why = refusalFor(item); !why.isEmpty()) {
        refuse(item, why);
        return;
    }
    m_destinations->writeCurrDestination();

    QVariantMap dest;
    const bool codeBased = lastPathComponent(recString(item, qk::hotfolder)) ==
                           Prefs::nameOfCodeBasedDeliveryHotFolder();
    if (codeBased && !m_initialDestDictForCodeBasedDelivery.isEmpty()) {
        dest = std::exchange(m_initialDestDictForCodeBasedDelivery, {});
        item.insert(qk::dest, recString(dest, dk::name));
    } else {
        dest = destDictForName(recString(item, qk::dest));
    }
    if (dest.isEmpty()) {
        item.insert(qk::error,
                    QStringLiteral("Destination not found:\nThe destination \"%1\" does not exist.")
                        .arg(recString(item, qk::dest)));
        moveFileToErrorsBeforeAddingToQueue(item, Effect::NotDelivered);
        return;
    }

    // Members are looked up from their own files now, so their current
    // settings apply; one without a file is skipped, and so is a group (a
    // group is never a member).
    QList<QVariantMap> targets;
    if (recBool(dest, dk::isGroup)) {
        const QVariant members = dest.value(dk::groupDests);
        const QVariantList list =
            members.typeId() == QMetaType::QVariantList ? members.toList() : QVariantList();
        for (const QVariant &entry : list) {
            const QString name = recString(entry.toMap(), dk::name);
            const QVariantMap member = destDictForName(name);
            if (member.isEmpty() || recBool(member, dk::isGroup)) {
                log(QStringLiteral(
                        "--> addToQueue: group member \"%1\" of \"%2\" not found, skipped")
                        .arg(name, recString(dest, dk::name)));
                continue;
            }
            targets.append(member);
        }
        // Members the last run had delivered this source to before it stopped
        // are not delivered it again (unless none would be left).
        const QSet<QString> done = m_membersDone.take(path);
        const auto skipped = [&](const QVariantMap &member) {
            return done.contains(recString(member, dk::name));
        };
        if (!std::all_of(targets.cbegin(), targets.cend(), skipped))
            targets.removeIf(skipped);
        item.insert(qk::group, recString(dest, dk::name));
        if (targets.isEmpty()) {
            item.insert(qk::dest, recString(dest, dk::name));
            refuse(item,
                   QStringLiteral("Destination not found:\nThe group \"%1\" has no member "
                                  "destination that exists.")
                       .arg(recString(dest, dk::name)),
                   Effect::NotDelivered);
            return;
        }
    } else {
        targets.append(dest);
    }

    item.insert(qk::date, nowText(kQueueDateFormat));
    // Measured off the main thread; the entry joins the queue once its size is
    // known, in the order the items came.
    const quint64 ticket = ++m_lastTicket;
    m_measuring.append({ticket, item, targets, -1});
    m_sizes->measure(ticket, path);
}

void AppController::itemMeasured(quint64 ticket, qint64 k)
{
    for (Measuring &m : m_measuring) {
        if (m.ticket == ticket)
            m.sizeK = k;
    }
    while (!m_measuring.isEmpty() && m_measuring.first().sizeK >= 0) {
        const Measuring m = m_measuring.takeFirst();
        QVariantMap item = m.item;
        const QString path = recString(item, qk::path);
        item.insert(qk::sizeK, m.sizeK);
        item.insert(qk::size, setSizeStrFromK(m.sizeK));
        item.insert(qk::isFolder, QFileInfo(path).isDir());
        for (const QVariantMap &member : m.targets) {
            item.insert(qk::dest, recString(member, dk::name));
            item.insert(qk::ftpFlag, recInt(member, dk::type) == 0);
            item.insert(qk::destType, destTypeOf(member));
            m_queue->addItem(item);
            if (m_queue->items().size() == 1 && !m_isProcessing)
                sendNextFileInQueue();
        }
    }
}

bool AppController::isWaiting(const QString &path, const QString &dest) const
{
    const auto same = [&](const QVariantMap &entry) {
        return recString(entry, qk::path) == path &&
               (recString(entry, qk::dest) == dest || recString(entry, qk::group) == dest);
    };
    return std::any_of(m_queue->items().cbegin(), m_queue->items().cend(), same) ||
           std::any_of(m_measuring.cbegin(), m_measuring.cend(),
                       [&](const Measuring &m) { return same(m.item); }) ||
           (m_isProcessing && m_run && same(m_run->record()));
}

bool AppController::isMeasuring(const QString &path) const
{
    return std::any_of(m_measuring.cbegin(), m_measuring.cend(),
                       [&](const Measuring &m) { return recString(m.item, qk::path) == path; });
}

QString AppController::addItemToQueue(const QString &path, const QString &name)
{
    if (const QString why = refusalFor({{qk::path, path}}); !why.isEmpty()) {
        refuse({{qk::path, path}, {qk::dest, name}}, why);
        return QStringLiteral("\"%1\" was recorded as not delivered: %2")
            .arg(path, why.section(QLatin1Char('\n'), 1));
    }
    if (!name.isEmpty()) {
        if (isWaiting(path, name))
            return QStringLiteral("\"%1\" is already queued for \"%2\"").arg(path, name);
        if (destDictForName(name).isEmpty()) {
            addToQueue({{qk::path, path}, {qk::dest, name}});
            return QStringLiteral("Destination \"%1\" does not exist: \"%2\" was recorded as not "
                                  "delivered")
                .arg(name, path);
        }
        noteQueued(path, name);
        addToQueue({{qk::path, path}, {qk::dest, name}});
        return QStringLiteral("Queued \"%1\" for \"%2\"").arg(path, name);
    }

    const QString code = destinationCodeFromName(lastPathComponent(path), QFileInfo(path).isDir());
    if (!code.isEmpty()) {
        for (const QVariantMap &rec : m_destinations->items()) {
            if (recString(rec, dk::QFDestCode) == code) {
                const QString destName = recString(rec, dk::name);
                if (isWaiting(path, destName))
                    return QStringLiteral("\"%1\" is already queued for \"%2\"")
                        .arg(path, destName);
                noteQueued(path, destName);
                addToQueue({{qk::path, path}, {qk::dest, destName}});
                return QStringLiteral("Queued \"%1\" for \"%2\" (code %3)")
                    .arg(path, destName, code);
            }
        }
    }

    // Only the errors panel and the sent list hear of it: the entry being
    // processed, if any, is not touched.
    const QString message =
        QStringLiteral("Destination code not found:\nNo destinations code found in file name.");
    m_ui->beep();
    m_ui->bringToFront(UserInterface::Window::Errors);
    m_errors->addError(QStringLiteral("%1\nFile: %2\n\nError: %3")
                           .arg(nowText(kLogDateFormat), lastPathComponent(path), message));
    QVariantMap rec{{qk::finalName, lastPathComponent(path)},
                    {qk::path, path},
                    {qk::dest, QStringLiteral("<destination code not found>")},
                    {qk::sizeK, 0},
                    {qk::size, QStringLiteral("-")},
                    {qk::dateEndStr, nowText(kQueueDateFormat)}};
    m_sent->addItem(rec);
    return QStringLiteral("No destination code found in the name of \"%1\": not queued").arg(path);
}

void AppController::sendNextFileInQueue()
{
    if (m_processCancelled) {
        log(QStringLiteral("--> sendNextFileInQueue: processing was stopped"));
        return;
    }
    if (m_sendTitle == kStartTitle)
        return;
    if (m_queue->items().isEmpty()) {
        setSendButton(m_sendTitle, false);
        m_isProcessing = false;
        return;
    }
    setSendButton(m_sendTitle, true);
    const QVariantMap head = m_queue->items().first();
    m_queue->deleteFirstItem();
    processFile(head);
}

void AppController::processFile(const QVariantMap &item)
{
    m_isProcessing = true;
    m_processingPath = recString(item, qk::path);
    log(QStringLiteral("--> processFile: %1 dest \"%2\" group \"%3\"")
            .arg(recString(item, qk::path), recString(item, qk::dest), recString(item, qk::group)));
    if (m_processFile) {
        m_processFile(item);
        return;
    }
    m_run = std::make_unique<EntryRun>(*this, item);
    m_run->start();
}

void AppController::entryEnded(bool cont)
{
    settleQueuedNotes();
    if (m_run) {
        // Still on the call stack: it goes once the event loop is back (or
        // with us).
        EntryRun *done = m_run.release();
        done->setParent(this);
        done->deleteLater();
    }
    stopProgress(cont);
}

void AppController::cancelProcess()
{
    m_processCancelled = true;
    if (m_isProcessing && m_run)
        m_run->cancel();
}

void AppController::stopProgress(bool cont)
{
    if (m_processCancelled)
        setSendButton(kStartTitle, m_sendEnabled);
    else if (m_queue->items().isEmpty())
        setSendButton(kStopTitle, false);
    m_ui->setStatus(QStringLiteral("Idle"));
    m_ui->setStatus2(QString());
    m_ui->setSourceField(QString());
    m_ui->setDestinationField(QString());
    m_ui->setWindowTitle(QStringLiteral("Processing"));
    m_ui->setProgressIndeterminate(false);
    m_ui->setProgress(0);
    m_ui->setMailIcon(false);
    if (cont && !m_processCancelled) {
        sendNextFileInQueue();
        return;
    }
    if (!cont || m_processCancelled)
        m_isProcessing = false;
}

void AppController::appendOutput(const QString &text)
{
    m_console += text;
    if (m_console.size() > (1 << 20))
        m_console.remove(0, m_console.size() - (1 << 19));
    Q_EMIT outputAppended(text);
}

void AppController::sendBtn()
{
    if (m_sendTitle == kStopTitle) {
        setSendButton(kStartTitle, m_sendEnabled);
        cancelProcess();
        return;
    }
    m_processCancelled = false;
    setSendButton(kStopTitle, true);
    sendNextFileInQueue();
}

bool AppController::applicationShouldTerminate()
{
    if (!m_isProcessing)
        return true;
    const int choice = m_ui->alert(
        {QStringLiteral("A file is being processed. Do you really want to quit Parcelvane?"),
         QStringLiteral("If you choose to quit, the current processing will be terminated."),
         {QStringLiteral("Quit"), QStringLiteral("Don't Quit")},
         Alert::Style::Critical});
    return choice == 0;
}

void AppController::applicationWillTerminate()
{
    m_destinations->writeCurrDestination();
    settings::setValue(keys::selectedRow, m_destinations->selectedRow());
    settings::setValue(keys::showDestWin, m_destWinShown);
}

QString AppController::refusalFor(const QVariantMap &item)
{
    const QString path = recString(item, qk::path);
    if (item.contains(hk::nativePath))
        return QStringLiteral(
                   "Invalid name:\nThe name is not valid UTF-8. Names must be UTF-8 to be "
                   "delivered and announced; it is kept as \"%1\".")
            .arg(lastPathComponent(path));
    struct stat st {};
    if (lstat(QFile::encodeName(QDir::cleanPath(path)).constData(), &st) != 0)
        return {}; // a missing source is the processing stage's to report
    if (S_ISLNK(st.st_mode)) {
        if (!settings::boolValue(keys::deliverSymbolicLinks))
            return QStringLiteral("Symbolic link not delivered:\n\"%1\" is a symbolic link. Links "
                                  "are not delivered unless the setting \"%2\" is on.")
                .arg(lastPathComponent(path), keys::deliverSymbolicLinks);
        if (stat(QFile::encodeName(QDir::cleanPath(path)).constData(), &st) != 0)
            return {};
    }
    // Reading a pipe or a device would hold up the queue for ever.
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return QStringLiteral("Special file not delivered:\n\"%1\" is neither a file nor a "
                              "folder.")
            .arg(lastPathComponent(path));
    return {};
}

void AppController::refuse(QVariantMap item, const QString &error, Effect effect)
{
    log(QStringLiteral("--> refused: %1").arg(recString(item, qk::path)));
    item.insert(qk::error, error);
    moveFileToErrorsBeforeAddingToQueue(item, effect);
}

void AppController::recordCompleted(const QVariantMap &record, bool durable)
{
    // Both records of an outcome reach the disk with one flush, before the
    // source may leave its hot folder.
    Journal::Batch batch(m_history->journal(),
                         durable ? Journal::Batch::Flush::AtCommit : Journal::Batch::Flush::Later);
    const bool history = m_history->addItem(record);
    const bool sent = m_sent->addCompletedItem(record);
    if (!batch.commit() || !history || !sent)
        log(QStringLiteral("The record of %1 could not be journaled; it is written with the lists.")
                .arg(recString(record, qk::path)));
    if (durable)
        killPointForTests("recorded");
}

void AppController::logExpiryError(const QString &message)
{
    log(message);
    m_ui->bringToFront(UserInterface::Window::Errors);
    m_errors->addError(message);
}

void AppController::moveFileToErrorsBeforeAddingToQueue(const QVariantMap &input, Effect effect)
{
    QVariantMap item = input;
    const QString path = recString(item, qk::path);
    const QString name =
        recString(item, qk::name).isEmpty() ? lastPathComponent(path) : recString(item, qk::name);
    const QString error = recString(item, qk::error);
    m_ui->beep();
    m_ui->bringToFront(UserInterface::Window::Errors);
    m_errors->addError(errorPanelText(nowText(kLogDateFormat), name, error, effect));

    const qint64 k = recInt(item, qk::origSize) / 1024;
    const QDateTime now = QDateTime::currentDateTime();
    item.insert(qk::name, name);
    item.insert(qk::success, outcomeText(Outcome::Missing));
    item.insert(qk::finalName, name);
    item.insert(qk::location, QStringLiteral("-"));
    item.insert(qk::dateEnd, now);
    item.insert(qk::dateEndStr, formatDate(now, kLogDateFormat));
    item.insert(qk::timeTotal, QStringLiteral("-"));
    item.insert(qk::sizeK, k);
    item.insert(qk::size, setSizeStrFromK(k));
    item.insert(qk::finalSize, QString());
    item.insert(qk::sizeField, setSizeStrFromK(k));
    QVariantMap record = item;
    record.remove(hk::nativePath); // raw bytes, not for the lists
    recordCompleted(record);
    m_ui->entryFinished(deliverySummary(record, QString()));

    if (settings::boolValue(keys::playeErrBtn))
        m_ui->playSound(settings::stringValue(keys::soundErrPopup, soundNames().value(0)));
    moveToErrorLocation(item);
    settleQueuedNotes();
}

void AppController::moveToErrorLocation(const QVariantMap &item)
{
    const QString path = recString(item, qk::path);
    const QByteArray native = item.value(hk::nativePath).toByteArray();
    if (native.isEmpty()) {
        if (moveToErrorFolder(path, QFileInfo(path).fileName(), item) && m_forgetPath)
            m_forgetPath(path);
        return;
    }
    // A name that is not UTF-8 cannot be spelled as text. The entry is first
    // renamed in its own folder (never across file systems) to a hidden name
    // the watcher passes over, and travels from there under its stand-in.
    const QString folder = QFileInfo(path).path();
    QString parked;
    int rc = -1;
    for (int i = 0; rc != 0 && i < 100; ++i) {
        parked = folder + QStringLiteral("/.parcelvane-refused-%1").arg(i);
        rc = ::renameat2(AT_FDCWD, native.constData(), AT_FDCWD,
                         QFile::encodeName(parked).constData(), RENAME_NOREPLACE);
        if (rc != 0 && errno != EEXIST)
            break;
    }
    if (rc != 0) {
        // Left in place and still guarded, so it is not refused again at every scan.
        log(QStringLiteral("The file %1 could not be moved to error folder. It has to be removed "
                           "manually.\n\nError: %2")
                .arg(QFileInfo(path).fileName(), QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    const bool forget = moveToErrorFolder(parked, QFileInfo(path).fileName(), item);
    // Not moved: back under its own name, where the user left it.
    if (pathExists(parked) && ::renameat2(AT_FDCWD, QFile::encodeName(parked).constData(), AT_FDCWD,
                                          native.constData(), RENAME_NOREPLACE) != 0)
        log(QStringLiteral("---> moveFile: %1 stays as %2").arg(path, parked));
    if (forget && m_forgetPath)
        m_forgetPath(path);
}

bool AppController::moveToErrorFolder(const QString &path, const QString &name,
                                      const QVariantMap &item)
{
    const QString hotfolder = recString(item, qk::hotfolder);
    const qint64 where = settings::intValue(keys::moveErrors);
    QString error;
    if (!pathExists(path) || (where == 4 && removePath(path, &error)))
        return true;
    if (where == 4)
        log(QStringLiteral("File could not be deleted from hot folder. It has to be removed "
                           "manually.\n\nError: %1")
                .arg(error));
    QString folder;
    if (where == 1) {
        folder = settings::stringValue(keys::errorFolder);
        if (settings::boolValue(keys::createErrorSubfolders) && !folder.isEmpty())
            folder += QLatin1Char('/') + recString(item, qk::dest);
    } else if (where == 0 || where == 4) {
        if (hotfolder.isEmpty()) {
            // Handed over on the command line: there is no hot folder whose
            // "Errors" could take it, so it stays where it is.
            log(QStringLiteral("---> moveFile: %1 has no hot folder and stays where it is")
                    .arg(path));
            return false;
        }
        folder = hotfolder + QStringLiteral("/Errors");
    }
    if (folder.isEmpty() || (!QFileInfo(folder).isDir() && !QDir().mkdir(folder))) {
        log(QStringLiteral("The error folder %1 could not be found and could not be created. The "
                           "file will be left in hot folder and has to be removed manually")
                .arg(folder));
        return false;
    }
    const QString target = folder + QLatin1Char('/') + name;
    log(QStringLiteral("---> moveFile: %1").arg(path));
    if ((pathExists(target) && !removePath(target, &error)) || !movePath(path, target, &error))
        log(QStringLiteral("The file %1 could not be moved to error folder. It has to be removed "
                           "manually.\n\nError: %2")
                .arg(name, error));
    return true;
}

} // namespace pv
