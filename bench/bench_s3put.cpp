// One file delivered through DeliveryTransfer to a storage-service URL, for
// bench_s3.sh to set beside curl. Prints the seconds of the delivery.
// Usage: bench_s3put FILE URL  (service hosts from the settings, as the application reads them)

#include "transfer/deliverytransfer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <variant>

using namespace pv;

namespace {

class Receiver : public DeliveryTransferReceiver {
public:
    void receive(const TransferReport &report) override
    {
        if (std::holds_alternative<transferreport::Succeeded>(report))
            succeeded = true;
        if (const auto *f = std::get_if<transferreport::Failed>(&report))
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
        std::fprintf(stderr, "usage: bench_s3put FILE URL\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    const QFileInfo file(QString::fromLocal8Bit(argv[1]));
    const QVariantMap parameters{
        {"localPath", file.absoluteFilePath()},     {"url", QString::fromLocal8Bit(argv[2])},
        {"dest", QVariantMap{{"overwriteBtn", 1}}}, {"origSize", file.size()},
        {"moddate", file.lastModified()},           {"creatdate", file.lastModified()}};
    const auto begin = std::chrono::steady_clock::now();
    Receiver receiver;
    DeliveryTransfer transfer(&receiver, parameters);
    transfer.start();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (transfer.isFinished())
            app.quit();
    });
    poll.start(1);
    app.exec();
    std::printf("%.3f\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    if (!receiver.succeeded) {
        std::fprintf(stderr, "delivery failed: %s\n", qPrintable(receiver.error));
        return 1;
    }
    return 0;
}
