// Packaging before delivery: zip archives and disk images, made by our
// packer as a child process whose output streams into the console view.

#include "app/appcontroller.h"
#include "app/entryrun.h"
#include "app/namesandsizes.h"
#include "app/queueitem.h"
#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/record.h"
#include "core/settings.h"
#include "destinations/destination.h"
#include "prefs/prefs.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace pv {

namespace {

QString packerProgram()
{
    const QString fromEnv = qEnvironmentVariable("PV_PACKER");
    if (!fromEnv.isEmpty())
        return fromEnv;
    const QString dir = QCoreApplication::applicationDirPath();
    for (const QString &candidate :
         {dir + QStringLiteral("/" PV_PACKER_DIR_FROM_BIN "/pv-packer"),
          dir + QStringLiteral("/pv-packer"), dir + QStringLiteral("/tools/pv-packer"),
          dir + QStringLiteral("/../src/pv-packer")}) {
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return QStringLiteral("pv-packer");
}

} // namespace

QString EntryRun::dmgPasswordDecr() const
{
    const QString stored = recString(m_defaultBackup, dk::diskPasswordField);
    return stored.isEmpty() ? QString() : Prefs::decryptPassword(stored);
}

void EntryRun::preparePackageTarget()
{
    m_finalName = composeFinalName(m_filesToBackup, m_createDmg, m_zip);
    const bool local = destTypeOf(m_defaultBackup) == kLocalDisk;
    if (local)
        computeFinalLocalFolder();
    m_dmgFile = paths::scratchDir() + QLatin1Char('/') + m_finalName;
    if (!pathExists(m_dmgFile))
        return;
    if (local && !recBool(m_defaultBackup, dk::overwriteBtn)) {
        // A stale package of the same name stays; the new one goes straight
        // into the local folder under a free numbered name.
        m_finalName = finalNameForOverwrite(
            m_finalName, QDir(m_finalLocalFolder)
                             .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
        m_dmgFile = m_finalLocalFolder + QLatin1Char('/') + m_finalName;
        return;
    }
    QString error;
    if (!removePath(m_dmgFile, &error))
        log(QStringLiteral("couldn't delete existing dmgFile (%1): %2")
                .arg(m_zip ? QStringLiteral("zip") : QStringLiteral("dmg"), error));
}

void EntryRun::zip()
{
    if (!getSizeAndCheckFreeSpace())
        return;
    setStage(Stage::Packaging);
    ui().setStatus(QStringLiteral("Creating Zip archive..."));
    preparePackageTarget();
    ui().setProgressIndeterminate(true);
    runPacker({QStringLiteral("-c"), QStringLiteral("-k"), QStringLiteral("-V"), m_filesToBackup,
               m_dmgFile},
              QString());
}

void EntryRun::createEncryptedDmg()
{
    if (!getSizeAndCheckFreeSpace())
        return;
    setStage(Stage::Packaging);
    ui().setStatus(QStringLiteral("Creating Disk Image..."));
    preparePackageTarget();
    const QString password =
        recBool(m_defaultBackup, QStringLiteral("dmgEncryptBtn")) ? dmgPasswordDecr() : QString();
    if (!password.isEmpty())
        runPacker({QStringLiteral("create"), QStringLiteral("-encryption"),
                   QStringLiteral("-stdinpass"), QStringLiteral("-srcfolder"),
                   QStringLiteral("-puppetstrings"), m_filesToBackup, m_dmgFile},
                  password);
    else
        runPacker({QStringLiteral("create"), QStringLiteral("-srcfolder"),
                   QStringLiteral("-puppetstrings"), m_filesToBackup, m_dmgFile},
                  QString());
}

void EntryRun::runPacker(const QStringList &arguments, const QString &password)
{
    m_packerTail.clear();
    m_packer = std::make_unique<QProcess>();
    m_packer->setProcessChannelMode(QProcess::MergedChannels);
    // The packer dies with us: one that outlived a crash would finish a stale
    // package in the scratch folder for nobody.
    m_packer->setChildProcessModifier([parent = ::getpid()] {
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)
            ::_exit(127);
    });
    QProcess *proc = m_packer.get();
    // Links below the source are left out by the packer unless the user
    // allows them; the entry's log names each one.
    const bool skipLinks = !settings::boolValue(keys::deliverSymbolicLinks);
    auto links = std::make_shared<QStringList>();
    connect(proc, &QProcess::readyRead, this, [this, proc, links] {
        const QString text = QString::fromUtf8(proc->readAll());
        packerOutput(text);
        static const QString marker = QStringLiteral("left out symbolic link: ");
        for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (const qsizetype at = line.indexOf(marker); at >= 0)
                links->append(line.mid(at + marker.size()));
        }
        if (m_createDmg) {
            for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
                readDmgProgress(line);
        }
    });
    connect(proc, &QProcess::finished, this, [this, links](int code, QProcess::ExitStatus status) {
        if (!links->isEmpty() && code == 0 && status == QProcess::NormalExit)
            logError(QStringLiteral("Symbolic links were left out of the delivery:\n%1")
                         .arg(links->join(QLatin1Char('\n'))));
        packerFinished(code, status != QProcess::NormalExit);
    });
    connect(proc, &QProcess::errorOccurred, this, [this, proc](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) {
            m_packerTail =
                QStringLiteral("The packer could not be started: %1").arg(proc->errorString());
            packerFinished(-1, true);
        }
    });
    proc->start(packerProgram(),
                skipLinks ? QStringList{QStringLiteral("--skipLinks")} + arguments : arguments);
    if (!password.isEmpty()) {
        // The password goes down the pipe only, never onto a command line
        // where other users could read it.
        proc->write(password.toUtf8());
    }
    proc->closeWriteChannel();
}

void EntryRun::packerFinished(int exitCode, bool crashed)
{
    if (!m_packer)
        return;
    if (m_packer->bytesAvailable())
        packerOutput(QString::fromUtf8(m_packer->readAll()));
    m_packer.release()->deleteLater();
    if (m_app.processCancelled()) {
        failEntry(QStringLiteral("DELIVERY CANCELED"), Effect::NotDelivered);
        return;
    }
    if (exitCode != 0 || crashed) {
        // A package that was not made must not be delivered as if it were.
        QString error;
        if (pathExists(m_dmgFile) && !removePath(m_dmgFile, &error))
            log(error);
        const QString kindText =
            m_zip ? QStringLiteral("Zip archive") : QStringLiteral("Disk image");
        failEntry(QStringLiteral("FILE HAS NOT BEEN DELIVERED!\n%1 could not be created.\n%2")
                      .arg(kindText, m_packerTail.trimmed()));
        return;
    }
    newStage();
}

void EntryRun::packerOutput(const QString &text)
{
    m_app.appendOutput(text);
    // Keep the last lines for a failure message.
    m_packerTail = (m_packerTail + text).right(600);
}

void EntryRun::readDmgProgress(const QString &chunk)
{
    ui().setStatus(QStringLiteral("Creating Disk Image..."));
    if (chunk.size() < 9)
        return;
    if (chunk.startsWith(QLatin1String("PERCENT"))) {
        const double value = chunk.mid(8).toDouble();
        ui().setProgressIndeterminate(value <= 1.0);
        if (value > 1.0)
            ui().setProgress(value);
    } else if (chunk.startsWith(QLatin1String("created"))) {
        ui().setStatus(QStringLiteral("Disk Image created..."));
    } else {
        ui().setStatus(chunk);
    }
}

} // namespace pv
