// The factory: one row per protocol class in this build.

#include "transfer/afptransfercontroller.h"
#include "transfer/filetransfercontroller.h"
#include "transfer/ftptransfercontroller.h"
#include "transfer/localtransfercontroller.h"
#include "transfer/s3transfercontroller.h"
#include "transfer/sftptransfercontroller.h"
#include "transfer/smbtransfercontroller.h"
#include "transfer/webdavtransfercontroller.h"

namespace pv {

namespace {

using Constructor = std::unique_ptr<FileTransferController> (*)(const QUrl &url);

template <class T> std::unique_ptr<FileTransferController> make(const QUrl &url)
{
    return FileTransferController::create<T>(url);
}

// Hosts of the storage services; "http" and "https" addresses elsewhere are WebDAV.
bool isAmazonS3Host(const QUrl &url)
{
    return s3::Provider::amazonS3().isServiceHostOrBelow(url.host());
}
bool isGoogleStorageHost(const QUrl &url)
{
    return s3::Provider::googleStorage().isServiceHostOrBelow(url.host());
}

struct Protocol {
    const char *scheme;
    Constructor make;
    /// When set, the row serves only the URLs it accepts; later rows get the others.
    bool (*serves)(const QUrl &url) = nullptr;
};

constexpr Protocol kProtocols[] = {
    {"file", &make<LocalTransferController>},
    {"afp", &make<AFPTransferController>},
    {"smb", &make<SMBTransferController>},
    {"http", &make<AmazonS3TransferController>, &isAmazonS3Host},
    {"http", &make<GoogleStorageTransferController>, &isGoogleStorageHost},
    {"https", &make<SecureAmazonS3TransferController>, &isAmazonS3Host},
    {"https", &make<SecureGoogleStorageTransferController>, &isGoogleStorageHost},
    {"http", &make<WebDAVTransferController>},
    {"https", &make<SecureWebDAVTransferController>},
    {"ssh", &make<SFTPTransferController>},
    {"ftp", &make<FTPTransferController>},
    {"ftps", &make<FTPSTransferController>},
};

} // namespace

std::unique_ptr<FileTransferController>
FileTransferController::fileTransferControllerWithURL(const QUrl &url)
{
    if (!url.isValid())
        return nullptr;
    const QString scheme = url.scheme().toLower();
    for (const Protocol &p : kProtocols) {
        if (scheme == QLatin1String(p.scheme) && (!p.serves || p.serves(url)))
            return p.make(url);
    }
    return nullptr;
}

} // namespace pv
