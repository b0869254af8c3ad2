// Command line: the windows, --headless, --queue forwarding to the running
// instance, and --destinations and --import (forwarded too, or run here
// under the lock).

#include "app/appcontroller.h"
#include "app/commandchannel.h"
#include "app/remotelisting.h"
#include "app/userinterface.h"
#include "core/log.h"
#include "destinations/bookmarkimport.h"
#include "destinations/destination.h"
#include "destinations/destinationscommand.h"
#include "destinations/destinationseditor.h"
#include "hotfolders/hotfolderwatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QStringDecoder>

#ifdef PV_WITH_GUI
#include "ui/mainwindows.h"
#include <QApplication>
#endif

#include <QThread>

#include <csignal>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalFd[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalFd[0], &c, 1);
}

/// Turns SIGINT and SIGTERM into an orderly quit of the event loop.
void installQuitOnSignals(QCoreApplication &app)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalFd) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalFd[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
        char c = 0;
        [[maybe_unused]] const ssize_t n = ::read(g_signalFd[1], &c, 1);
        pv::log(QStringLiteral("Signal received, quitting."));
        app.quit();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void print(FILE *stream, const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stream);
    std::fflush(stream);
}

/// Runs the engine with the given port until the event loop ends.
int runEngine(QCoreApplication &app, pv::UserInterface &ui,
              const std::function<void(pv::AppController &)> &showWindows)
{
    pv::CommandChannel channel;
    // The lists are only touched once this process holds the instance lock,
    // so a refused second start never rewrites the running one's files.
    std::unique_ptr<pv::AppController> owner;
    QString error;
    channel.setDestinationsHandler(
        [&owner](const QStringList &args, const std::optional<QString> &password) {
            if (!owner)
                return pv::CommandResult{1, QString(), QStringLiteral("Not ready yet.\n")};
            return pv::runDestinationsCommand(owner->destinations(), args, password);
        });
    if (!channel.listen([&owner](const QString &path,
                                 const QString &dest) { return owner->addItemToQueue(path, dest); },
                        &error)) {
        print(stderr, error);
        return 3;
    }
    owner = std::make_unique<pv::AppController>(&ui);
    pv::AppController &controller = *owner;
    installQuitOnSignals(app);
    if (showWindows)
        showWindows(controller);
    controller.startup();
    // Without windows nobody can press the watching button: watch at once.
    if (!showWindows)
        controller.watcher().startWatching();
    const int rc = app.exec();
    controller.applicationWillTerminate();
    return rc;
}

[[maybe_unused]] bool haveDisplay() // only the windowed build asks
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

/// The raw bytes of the --queue argument, as the shell gave them.
const char *queuedPathArgument(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--queue" && i + 1 < argc)
            return argv[i + 1];
        if (arg.substr(0, 8) == "--queue=")
            return argv[i] + 8;
    }
    return nullptr;
}

bool isUtf8(const char *bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    [[maybe_unused]] const QString text = decoder(QByteArrayView(bytes));
    return !decoder.hasError();
}

void printResult(const pv::CommandResult &r)
{
    std::fputs(r.out.toUtf8().constData(), stdout);
    std::fflush(stdout);
    std::fputs(r.err.toUtf8().constData(), stderr);
    std::fflush(stderr);
}

int sendOrRunDestinationsCommand(const QStringList &args, const std::optional<QString> &password);

/// `parcelvane --destinations ...`: hands the command to the running
/// instance, or with none edits the files here under the instance lock.
int runDestinationsCommandLine(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args;
    for (int i = 2; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    if (args.isEmpty() || args.first() == QLatin1String("--help") ||
        args.first() == QLatin1String("-h")) {
        print(args.isEmpty() ? stderr : stdout, pv::destinationsUsage());
        return args.isEmpty() ? 2 : 0;
    }
    // Folders given relative to this shell's folder: the running instance
    // has another one.
    const bool localDisk =
        args.indexOf(QStringLiteral("--type")) >= 0 &&
        args.value(args.indexOf(QStringLiteral("--type")) + 1) == QLatin1String("Local Disk");
    for (int i = 0; i + 1 < args.size(); ++i) {
        const bool folder =
            args[i] == QLatin1String("--hot-folder") ||
            (args[i] == QLatin1String("--path") && localDisk) ||
            (i >= 2 && args[0] == QLatin1String("set") &&
             (args[i] == QLatin1String("hot-folder") || args[i] == QLatin1String("QFHotfolder")));
        if (folder && !args[i + 1].isEmpty())
            args[i + 1] = QFileInfo(args[i + 1]).absoluteFilePath();
    }
    std::optional<QString> password;
    if (args.contains(QStringLiteral("--password-stdin"))) {
        // Read here, so the password never stands in the arguments.
        std::string in{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
        QString text = QString::fromUtf8(in);
        while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r')))
            text.chop(1);
        password = text;
    }
    return sendOrRunDestinationsCommand(args, password);
}

/// `parcelvane --import CLIENT [FILE]`: the destinations command "import",
/// forwarded or run under the lock the same way.
int runImportCommandLine(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args{QStringLiteral("import")};
    for (int i = 2; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    if (args.size() < 2 || args.size() > 3 || args[1].startsWith(QLatin1Char('-'))) {
        print(args.value(1) == QLatin1String("--help") ? stdout : stderr,
              pv::bookmarks::importUsage());
        return args.value(1) == QLatin1String("--help") ? 0 : 2;
    }
    // The running instance has another working folder.
    if (args.size() == 3)
        args[2] = QFileInfo(args[2]).absoluteFilePath();
    return sendOrRunDestinationsCommand(args, std::nullopt);
}

/// Hands a destinations command to the running instance, or with none runs it
/// here under the instance lock.
int sendOrRunDestinationsCommand(const QStringList &args, const std::optional<QString> &password)
{
    // An instance between taking its lock and listening answers a moment later.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (const std::optional<pv::CommandResult> r =
                pv::CommandChannel::sendDestinations(args, password)) {
            printResult(*r);
            return r->exitCode;
        }
        QString error;
        if (const std::unique_ptr<QLockFile> lock = pv::CommandChannel::lockInstance(&error)) {
            pv::DestinationsEditor store(nullptr);
            store.load();
            const pv::CommandResult r = pv::runDestinationsCommand(store, args, password);
            printResult(r);
            return r.exitCode;
        }
        if (attempt == 49) {
            print(stderr, error + QStringLiteral(" It does not answer on its command channel."));
            return 1;
        }
        QThread::msleep(100);
    }
    return 1;
}

/// A listed name on one line: tabs, line breaks, backslashes and other
/// control characters escaped.
QString escapedName(const QString &name)
{
    QString out;
    for (const QChar c : name) {
        if (c == QLatin1Char('\t'))
            out += QStringLiteral("\\t");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

/// `parcelvane --list DESTINATION [PATH] [--json]`: the listing of a
/// destination's folder. Only reads the destination files, so it works with
/// or without a running instance.
int runListCommandLine(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Standard error carries the failure alone; warnings still show.
    QLoggingCategory::setFilterRules(QStringLiteral("pv.*.info=false"));
    QStringList args;
    bool asJson = false;
    for (int i = 2; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--json"))
            asJson = true;
        else
            args.append(arg);
    }
    if (args.isEmpty() || args.size() > 2) {
        print(stderr, QStringLiteral("Usage: parcelvane --list DESTINATION [PATH] [--json]"));
        return 2;
    }
    pv::DestinationsEditor store(nullptr);
    store.load();
    QVariantMap dest;
    for (const QVariantMap &rec : store.items())
        if (rec.value(pv::dk::name).toString() == args[0] &&
            QFileInfo::exists(store.fileForName(args[0])))
            dest = rec;
    if (dest.isEmpty()) {
        print(stderr,
              QStringLiteral("Destination not found:\nThe destination \"%1\" does not exist.")
                  .arg(args[0]));
        return 1;
    }
    if (dest.value(pv::dk::isGroup).toBool()) {
        print(stderr, QStringLiteral("\"%1\" is a group of destinations: list one of its members.")
                          .arg(args[0]));
        return 1;
    }
    const pv::ListingTarget target = pv::listingTargetFor(dest, args.value(1));
    if (!target.refusal.title.isEmpty()) {
        print(stderr, target.refusal.title + QLatin1Char('\n') + target.refusal.text);
        return 1;
    }
    pv::RemoteStatus result;
    pv::ListingOperation listing(&app, target.parameters,
                                 [&result](const pv::RemoteStatus &s) { result = s; });
    listing.startProcess();
    if (result.type != pv::RemoteStatus::Type::Done) {
        print(stderr, result.unexpected ? result.error + QLatin1Char('\n') + result.errorInfo
                                        : QStringLiteral("Unable to list directory\n%1\n\n%2")
                                              .arg(result.error, result.errorInfo));
        return 1;
    }
    QJsonArray array;
    QString out;
    // The listing is keyed, so sorted, by name.
    for (auto it = result.list.cbegin(); it != result.list.cend(); ++it) {
        const bool folder = it.value().value(QLatin1String(pv::kNSFileType)).toString() ==
                            QLatin1String(pv::kNSFileTypeDirectory);
        const qint64 size = it.value().value(QLatin1String(pv::kNSFileSize)).toLongLong();
        const QDateTime date =
            it.value().value(QLatin1String(pv::kNSFileModificationDate)).toDateTime();
        const QString when = date.isValid() ? date.toUTC().toString(Qt::ISODate) : QString();
        const QString kind = folder ? QStringLiteral("folder") : QStringLiteral("file");
        if (asJson)
            array.append(QJsonObject{
                {QStringLiteral("name"), it.key()},
                {QStringLiteral("kind"), kind},
                {QStringLiteral("size"), size},
                {QStringLiteral("modified"), when.isEmpty() ? QJsonValue() : QJsonValue(when)}});
        else
            out += QStringList{escapedName(it.key()), kind, QString::number(size), when}.join(
                       QLatin1Char('\t')) +
                   QLatin1Char('\n');
    }
    if (asJson)
        out = QString::fromUtf8(QJsonDocument(array).toJson());
    std::fputs(out.toUtf8().constData(), stdout);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
#ifdef __GLIBC__
    // Each delivery's records are built on a worker and released on the main
    // thread; with an arena per thread that memory is kept twice over, which
    // in a burst of thousands of files costs a sixth of the process's size.
    mallopt(M_ARENA_MAX, 2);
#endif
    // The footer of every notification names this version.
    QCoreApplication::setApplicationVersion(QStringLiteral(PV_VERSION));
    // Log lines read as written; the category shows only where the user asks
    // for it (QT_MESSAGE_PATTERN).
    qSetMessagePattern(QStringLiteral("%{message}"));
    pv::usePrioritiesWhenJournal();
    if (argc >= 2 && std::string_view(argv[1]) == "--destinations")
        return runDestinationsCommandLine(argc, argv);
    if (argc >= 2 && std::string_view(argv[1]) == "--import")
        return runImportCommandLine(argc, argv);
    if (argc >= 2 && std::string_view(argv[1]) == "--list")
        return runListCommandLine(argc, argv);
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Parcelvane: automatic file delivery."));
    const QCommandLineOption helpOpt({QStringLiteral("h"), QStringLiteral("help")},
                                     QStringLiteral("Show this help."));
    const QCommandLineOption versionOpt({QStringLiteral("v"), QStringLiteral("version")},
                                        QStringLiteral("Show the version."));
    const QCommandLineOption headlessOpt(QStringLiteral("headless"),
                                         QStringLiteral("Run without windows."));
    const QCommandLineOption queueOpt(QStringLiteral("queue"),
                                      QStringLiteral("Hand PATH to the running Parcelvane."),
                                      QStringLiteral("PATH"));
    const QCommandLineOption destOpt(
        QStringLiteral("destination"),
        QStringLiteral("Destination for --queue; without it the code in the file name decides."),
        QStringLiteral("NAME"));
    const QCommandLineOption destinationsOpt(
        QStringLiteral("destinations"),
        QStringLiteral("List and edit destinations (first argument; --destinations --help)."));
    const QCommandLineOption importOpt(
        QStringLiteral("import"),
        QStringLiteral("Import bookmarks: cyberduck|filezilla [FILE] (first argument)."));
    const QCommandLineOption listOpt(
        QStringLiteral("list"),
        QStringLiteral("Print the contents of a destination's folder (first argument: --list "
                       "DESTINATION [PATH] [--json])."));
    parser.addOptions(
        {helpOpt, versionOpt, headlessOpt, queueOpt, destOpt, destinationsOpt, importOpt, listOpt});

    if (!parser.parse(args)) {
        print(stderr, parser.errorText() + QStringLiteral("\nTry --help."));
        return 2;
    }
    if (parser.isSet(helpOpt)) {
        print(stdout, parser.helpText());
        return 0;
    }
    if (parser.isSet(versionOpt)) {
        print(stdout, QStringLiteral("Parcelvane %1").arg(QStringLiteral(PV_VERSION)));
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        print(stderr, QStringLiteral("Unexpected argument: %1\nTry --help.")
                          .arg(parser.positionalArguments().first()));
        return 2;
    }
    if (parser.isSet(destinationsOpt)) {
        print(stderr, QStringLiteral("--destinations must be the first argument.\nTry --help."));
        return 2;
    }
    if (parser.isSet(importOpt)) {
        print(stderr, QStringLiteral("--import must be the first argument.\nTry --help."));
        return 2;
    }
    if (parser.isSet(listOpt)) {
        print(stderr, QStringLiteral("--list must be the first argument.\nTry --help."));
        return 2;
    }
    if (parser.isSet(destOpt) && !parser.isSet(queueOpt)) {
        print(stderr, QStringLiteral("--destination goes with --queue.\nTry --help."));
        return 2;
    }

    if (parser.isSet(queueOpt)) {
        QCoreApplication app(argc, argv);
        if (const char *raw = queuedPathArgument(argc, argv); raw && !isUtf8(raw)) {
            print(stderr, QStringLiteral("%1: names must be UTF-8 to be delivered and announced.")
                              .arg(QString::fromUtf8(raw)));
            return 2;
        }
        const QFileInfo info(parser.value(queueOpt));
        if (parser.value(queueOpt).isEmpty() || (!info.exists() && !info.isSymLink())) {
            print(stderr, QStringLiteral("No such file or folder: %1").arg(parser.value(queueOpt)));
            return 2;
        }
        QString answer;
        const bool ok =
            pv::CommandChannel::sendQueue(info.absoluteFilePath(), parser.value(destOpt), &answer);
        print(ok ? stdout : stderr, answer);
        return ok ? 0 : 1;
    }

#ifdef PV_WITH_GUI
    if (!parser.isSet(headlessOpt) && haveDisplay()) {
        QApplication app(argc, argv);
        app.setQuitOnLastWindowClosed(false);
        // Lets the desktop match the windows to the installed entry and icon.
        QGuiApplication::setDesktopFileName(QStringLiteral("com.tallowin.Parcelvane"));
        pv::WidgetsUserInterface ui;
        return runEngine(app, ui, [&ui](pv::AppController &c) { ui.attach(c); });
    }
#endif
    if (!parser.isSet(headlessOpt))
        pv::log(QStringLiteral("No display found: running headless."));
    QCoreApplication app(argc, argv);
    pv::HeadlessUserInterface ui;
    return runEngine(app, ui, {});
}
