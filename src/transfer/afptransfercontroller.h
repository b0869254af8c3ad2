#pragma once

#include "transfer/filetransfercontroller.h"

namespace pv {

/// AFP shares ("afp" URLs). No AFP client exists on this system, so every
/// operation fails with kAFPUnavailableMessage, which points to SMB. The URL must
/// still name a share (first path component), as for SMB.
class AFPTransferController : public FileTransferController {
public:
    [[nodiscard]] QString urlScheme() const override { return QStringLiteral("afp"); }
    bool initWithBaseURL(const QUrl &url) override;

    TransferResult<RemoteListing> contentsOfDirectoryAtPath(const QString &path) override;
    Result createDirectoryAtPath(const QString &path) override;
    Result deleteFileAtPath(const QString &path) override;
    Result deleteDirectoryAtPath(const QString &path) override;
    Result deleteDirectoryRecursivelyAtPath(const QString &path) override;
    Result movePath(const QString &fromPath, const QString &toPath) override;
    Result copyPath(const QString &fromPath, const QString &toPath) override;

protected:
    Result _uploadFileToPath(const QString &remotePath, InputStream *stream) override;
    Result _downloadFileFromPath(const QString &remotePath, OutputStream *stream) override;
};

/// The failure text of every AFP operation.
extern const char *const kAFPUnavailableMessage;

} // namespace pv
