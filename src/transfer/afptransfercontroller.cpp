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

TransferResult<RemoteListing> AFPTransferController::contentsOfDirectoryAtPath(const QString &)
{
    return failOperation(message());
}

Result AFPTransferController::createDirectoryAtPath(const QString &)
{
    return failOperation(message());
}

Result AFPTransferController::deleteFileAtPath(const QString &)
{
    return failOperation(message());
}

Result AFPTransferController::deleteDirectoryAtPath(const QString &)
{
    return failOperation(message());
}

Result AFPTransferController::deleteDirectoryRecursivelyAtPath(const QString &)
{
    return failOperation(message());
}

Result AFPTransferController::movePath(const QString &, const QString &)
{
    return failOperation(message());
}

Result AFPTransferController::copyPath(const QString &, const QString &)
{
    return failOperation(message());
}

Result AFPTransferController::_uploadFileToPath(const QString &, InputStream *)
{
    return failOperation(message());
}

Result AFPTransferController::_downloadFileFromPath(const QString &, OutputStream *)
{
    return failOperation(message());
}

} // namespace pv
