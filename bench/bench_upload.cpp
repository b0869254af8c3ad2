// One file delivered through DeliveryTransfer to a destination URL, for the
// protocol benchmarks to set beside a standard client. Prints the seconds of
// the delivery. Usage: bench_upload FILE URL  (service hosts come from the
// settings, as the application reads them)

#include "transfer/deliverytransfer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <variant>

namespace {

class Receiver : public pv::DeliveryTransferReceiver {
public:
    void receive(const pv::TransferReport &report) override
    {
        if (std::holds_alternative<pv::transferreport::Succeeded>(report))
            succeeded = true;
        if (const auto *f = std::get_if<pv::transferreport::Failed>(&report))
            error = f->error + QLatin1Char(' ') + f->errorInfo;
    }
    void cancelProcess() override {}

    bool succeeded = false;
    QString error;
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_upload FILE URL\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    const QFileInfo file(QString::fromLocal8Bit(argv[1]));
    const QVariantMap parameters{
        {"localPath", file.absoluteFilePath()},     {"url", QString::fromLocal8Bit(argv[2])},
        {"dest", QVariantMap{{"overwriteBtn", 1}}}, {"origSize", file.size()},
        {"moddate", file.lastModified()},           {"creatdate", file.lastModified()}};
    QElapsedTimer timer;
    timer.start();
    Receiver receiver;
    pv::DeliveryTransfer transfer(&receiver, parameters);
    transfer.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (transfer.isFinished())
            app.quit();
    });
    poll.start(1);
    app.exec();
    if (!receiver.succeeded) {
        std::fprintf(stderr, "delivery failed: %s\n", qPrintable(receiver.error));
        return 1;
    }
    std::printf("%.3f\n", double(timer.nsecsElapsed()) / 1e9);
    return 0;
}
