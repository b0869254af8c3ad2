// The factory's scheme table. Each protocol class plugs in on its own line
// below; a scheme whose class is not part of this build yields no controller.

#include "transfer/afptransfercontroller.h"
#include "transfer/filetransfercontroller.h"
#include "transfer/localtransfercontroller.h"
// Protocol headers join here as their classes land:
#include "transfer/smbtransfercontroller.h"

namespace pv {

namespace {

// Service hosts that select the cloud-storage classes for http/https URLs.
const QLatin1String kS3ServiceHost("s3.amazonaws.com");
const QLatin1String kGoogleStorageHost("storage.googleapis.com");

template <class T> std::unique_ptr<FileTransferController> make(const QUrl &url)
{
    return FileTransferController::create<T>(url);
}

} // namespace

std::unique_ptr<FileTransferController>
FileTransferController::fileTransferControllerWithURL(const QUrl &url)
{
    if (!url.isValid())
        return nullptr;
    const QString scheme = url.scheme().toLower();
    const QString host = url.host().toLower();

    if (scheme == QLatin1String("file"))
        return make<LocalTransferController>(url);
    if (scheme == QLatin1String("afp"))
        return make<AFPTransferController>(url);
    if (scheme == QLatin1String("smb"))
        return make<SMBTransferController>(url);
    if (scheme == QLatin1String("http")) {
        // The iDisk service is not offered on this system.
        if (host.endsWith(kS3ServiceHost))
            return nullptr; // S3: return make<AmazonS3TransferController>(url);
        if (host.endsWith(kGoogleStorageHost))
            return nullptr; // Google Storage: return make<GoogleStorageTransferController>(url);
        return nullptr;     // WebDAV: return make<WebDAVTransferController>(url);
    }
    if (scheme == QLatin1String("https")) {
        if (host.endsWith(kS3ServiceHost))
            return nullptr; // S3: return make<SecureAmazonS3TransferController>(url);
        if (host.endsWith(kGoogleStorageHost))
            return nullptr; // Google Storage: return
                            // make<SecureGoogleStorageTransferController>(url);
        return nullptr;     // WebDAV: return make<SecureWebDAVTransferController>(url);
    }
    if (scheme == QLatin1String("ftp"))
        return nullptr; // FTP: return make<FTPTransferController>(url);
    if (scheme == QLatin1String("ftps"))
        return nullptr; // FTPS: return make<FTPSTransferController>(url);
    if (scheme == QLatin1String("ssh"))
        return nullptr; // SFTP: return make<SFTPTransferController>(url);
    return nullptr;
}

} // namespace pv
