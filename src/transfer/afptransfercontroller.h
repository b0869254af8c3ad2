#pragma once

#include "transfer/filetransfercontroller.h"

namespace pv {

/// AFP shares ("afp" URLs). No AFP client exists on this system, so every
/// operation fails with kAFPUnavailableMessage, which points to SMB. The URL must
/// still name a share (first path component), as for SMB.
class AFPTransferController : public FileTransferController {
public:
    [[nodiscard]] QString urlScheme() const override { return QStringLiteral("afp"); }
    [[nodiscard]] bool useAsyncStreams() const override { return false; }
    bool initWithBaseURL(const QUrl &url) override;

    std::optional<RemoteListing> contentsOfDirectoryAtPath(const QString &path) override;
    bool createDirectoryAtPath(const QString &path) override;
    bool deleteFileAtPath(const QString &path) override;
    bool deleteDirectoryAtPath(const QString &path) override;
    bool deleteDirectoryRecursivelyAtPath(const QString &path) override;
    bool movePath(const QString &fromPath, const QString &toPath) override;
    bool copyPath(const QString &fromPath, const QString &toPath) override;

protected:
    bool _uploadFileToPath(const QString &remotePath, InputStream *stream) override;
    bool _downloadFileFromPath(const QString &remotePath, OutputStream *stream) override;
};

/// The failure text of every AFP operation.
extern const char *const kAFPUnavailableMessage;

} // namespace pv
