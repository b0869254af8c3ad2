#include "core/log.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcCore, "pv.core", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDestinations, "pv.destinations", QtInfoMsg)
Q_LOGGING_CATEGORY(lcRecords, "pv.records", QtInfoMsg)
Q_LOGGING_CATEGORY(lcHotfolders, "pv.hotfolders", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTransfer, "pv.transfer", QtInfoMsg)
Q_LOGGING_CATEGORY(lcPipeline, "pv.pipeline", QtInfoMsg)
Q_LOGGING_CATEGORY(lcNotify, "pv.notify", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUi, "pv.ui", QtInfoMsg)

namespace pv {

void log(const QLoggingCategory &category, const QString &line)
{
    qCInfo(category).noquote() << line;
}

void debug(const QLoggingCategory &category, const QString &line)
{
    qCDebug(category).noquote() << line;
}

void warn(const QLoggingCategory &category, const QString &line)
{
    qCWarning(category).noquote() << line;
}

void error(const QLoggingCategory &category, const QString &line)
{
    qCCritical(category).noquote() << line;
}

QByteArray journalLines(QtMsgType type, const QString &text)
{
    const char *prefix = "<6>";
    switch (type) {
    case QtDebugMsg:
        prefix = "<7>";
        break;
    case QtInfoMsg:
        break;
    case QtWarningMsg:
        prefix = "<4>";
        break;
    case QtCriticalMsg:
        prefix = "<3>";
        break;
    case QtFatalMsg:
        prefix = "<2>";
        break;
    }
    QByteArray out;
    for (const QString &line : text.split(QLatin1Char('\n')))
        out += prefix + line.toUtf8() + '\n';
    return out;
}

bool isJournalStream(int fd, const QByteArray &journalStream)
{
    const QList<QByteArray> parts = journalStream.split(':');
    struct stat st {};
    if (parts.size() != 2 || ::fstat(fd, &st) != 0)
        return false;
    bool devOk = false;
    bool inoOk = false;
    const qulonglong dev = parts[0].toULongLong(&devOk);
    const qulonglong ino = parts[1].toULongLong(&inoOk);
    return devOk && inoOk && dev == qulonglong(st.st_dev) && ino == qulonglong(st.st_ino);
}

namespace {
void journalHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QByteArray out = journalLines(type, qFormatLogMessage(type, context, message));
    std::fwrite(out.constData(), 1, size_t(out.size()), stderr);
    std::fflush(stderr);
}
} // namespace

void usePrioritiesWhenJournal()
{
    if (isJournalStream(STDERR_FILENO, qgetenv("JOURNAL_STREAM")))
        qInstallMessageHandler(journalHandler);
}

} // namespace pv
