// Delivers one file to a destination URL through DeliveryTransfer and prints
// the seconds it took, for bench_ftp.sh. Usage: bench_ftp_upload FILE URL
#include "transfer/deliverytransfer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace {

class Receiver : public pv::DeliveryTransferReceiver {
public:
    void receive(const pv::TransferReport &report) override
    {
        if (std::holds_alternative<pv::transferreport::Succeeded>(report))
            done = 1;
        if (const auto *f = std::get_if<pv::transferreport::Failed>(&report)) {
            done = 2;
            error = f->error + QLatin1Char(' ') + f->errorInfo;
        }
    }
    void cancelProcess() override { done = 2; }
    int done = 0;
    QString error;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_ftp_upload FILE URL\n");
        return 2;
    }
    const QString file = QString::fromLocal8Bit(argv[1]);
    const QVariantMap parameters{{QStringLiteral("localPath"), file},
                                 {QStringLiteral("url"), QString::fromLocal8Bit(argv[2])},
                                 {QStringLiteral("dest"), QVariantMap{{"overwriteBtn", 1}}},
                                 {QStringLiteral("origSize"), QFileInfo(file).size()}};
    Receiver receiver;
    pv::DeliveryTransfer transfer(&receiver, parameters);
    QElapsedTimer timer;
    timer.start();
    transfer.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (transfer.isFinished())
            app.quit();
    });
    poll.start(5);
    app.exec();
    if (receiver.done != 1) {
        std::fprintf(stderr, "delivery failed: %s\n", qPrintable(receiver.error));
        return 1;
    }
    std::printf("%.3f\n", double(timer.nsecsElapsed()) / 1e9);
    return 0;
}
