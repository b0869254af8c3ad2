// The factory: one row per protocol class in this build.

#include "transfer/afptransfercontroller.h"
#include "transfer/filetransfercontroller.h"
#include "transfer/ftptransfercontroller.h"
#include "transfer/localtransfercontroller.h"
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

struct Protocol {
    const char *scheme;
    Constructor make;
};

constexpr Protocol kProtocols[] = {
    {"file", &make<LocalTransferController>},
    {"afp", &make<AFPTransferController>},
    {"smb", &make<SMBTransferController>},
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
        if (scheme == QLatin1String(p.scheme))
            return p.make(url);
    }
    return nullptr;
}

} // namespace pv
