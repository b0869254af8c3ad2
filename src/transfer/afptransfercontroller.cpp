#include "transfer/afptransfercontroller.h"

namespace pv {

const char *const kAFPUnavailableMessage =
    "AFP file servers cannot be reached from this system: there is no AFP client for Linux. "
    "Please connect to this server over SMB instead (change Destination Type to SMB); "
    "file servers that offer AFP usually offer SMB as well.";

bool AFPTransferController::initWithBaseURL(const QUrl &url)
{
    if (!FileTransferController::initWithBaseURL(url))
        return false;
    // As for SMB, the first path component names the share.
    const QStringList parts =
        url.path(QUrl::FullyDecoded).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return !parts.isEmpty();
}

namespace {
QString message()
{
    return QString::fromUtf8(kAFPUnavailableMessage);
}
} // namespace

std::optional<RemoteListing> AFPTransferController::contentsOfDirectoryAtPath(const QString &)
{
    failOperation(message());
    return std::nullopt;
}

bool AFPTransferController::createDirectoryAtPath(const QString &)
{
    failOperation(message());
    return false;
}

bool AFPTransferController::deleteFileAtPath(const QString &)
{
    failOperation(message());
    return false;
}

bool AFPTransferController::deleteDirectoryAtPath(const QString &)
{
    failOperation(message());
    return false;
}

bool AFPTransferController::deleteDirectoryRecursivelyAtPath(const QString &)
{
    failOperation(message());
    return false;
}

bool AFPTransferController::movePath(const QString &, const QString &)
{
    failOperation(message());
    return false;
}

bool AFPTransferController::copyPath(const QString &, const QString &)
{
    failOperation(message());
    return false;
}

bool AFPTransferController::_uploadFileToPath(const QString &, InputStream *)
{
    failOperation(message());
    return false;
}

bool AFPTransferController::_downloadFileFromPath(const QString &, OutputStream *)
{
    failOperation(message());
    return false;
}

} // namespace pv
