#pragma once

#include "transfer/streamtransfercontroller.h"

namespace pv {

/// Delivers to a folder of the local file system ("file" URLs, host empty,
/// "localhost" or this machine). Uploads are written under a temporary name in
/// the target folder and renamed into place when complete, so an aborted or
/// failed upload never leaves a truncated file under the final name; without
/// replacesExistingItems that rename never replaces anything.
class LocalTransferController : public StreamTransferController {
public:
    [[nodiscard]] QString urlScheme() const override { return QStringLiteral("file"); }
    [[nodiscard]] bool takesDateFolders() const override { return false; }
    [[nodiscard]] bool hasAtomicFolderDelivery() const override { return true; }
    [[nodiscard]] bool needsLogIn() const override { return false; }
    /// The modification date only: creation dates cannot be set on this
    /// system's file systems. Links are not followed (the item itself).
    [[nodiscard]] bool supportsItemDates() const override { return true; }
    Result setItemDates(const QString &remotePath, const QDateTime &creationDate,
                        const QDateTime &modificationDate) override;
    /// Tags live in the "user.xdg.tags" extended attribute.
    [[nodiscard]] bool supportsTags() const override { return true; }
    Result setItemTag(const QString &remotePath, const QString &tag) override;

    /// Lists every entry (hidden ones included) with type, size, creation date
    /// (where the file system records it) and modification date. Symbolic links
    /// are described by their target, a dangling one by itself (its name is
    /// taken all the same); an entry whose attributes cannot be read is logged
    /// and left out.
    TransferResult<RemoteListing> contentsOfDirectoryAtPath(const QString &path) override;
    /// Opens the folder as a listing would, without reading it.
    Result checkFolderAtPath(const QString &path) override;
    /// One lstat.
    TransferResult<bool> itemExists(const QString &path) override;
    Result createDirectoryAtPath(const QString &path) override;
    /// Removes the item; succeeds when nothing exists there.
    Result deleteFileAtPath(const QString &path) override;
    /// Removes the folder with its content; succeeds when nothing exists there.
    Result deleteDirectoryRecursivelyAtPath(const QString &path) override;
    /// Removes whatever exists at toPath, then moves (across file systems too).
    Result movePath(const QString &fromPath, const QString &toPath) override;
    /// Removes whatever exists at toPath, then copies (folders recursively).
    Result copyPath(const QString &fromPath, const QString &toPath) override;
    Result moveIntoPlace(const QString &temporaryPath, const QString &finalPath) override;

    /// The local file-system path for remotePath, or an empty string when the
    /// base URL does not name a folder of this machine.
    [[nodiscard]] virtual QString localPathForRemotePath(const QString &remotePath) const;

protected:
    Result _uploadFileToPath(const QString &remotePath, InputStream *stream) override;
    Result _downloadFileFromPath(const QString &remotePath, OutputStream *stream) override;
    QVariant processReadResultStream(OutputStream *dataStream, const QString &userInfo,
                                     TransferError *error) override;

private:
    /// Renames and removal on names in the local folder dir.
    static SiblingRenames renamesIn(const QString &dir);
    /// Start message, path checks and removal of the target that moving and
    /// copying share; a value means the operation has already ended with it.
    std::optional<Result> beginMoveOrCopy(const QString &fromPath, const QString &toPath,
                                          QString *from, QString *to);
};

} // namespace pv
