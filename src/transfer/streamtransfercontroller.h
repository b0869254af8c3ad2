#pragma once

#include "transfer/filetransfercontroller.h"

#include <QVariant>

#include <memory>
#include <vector>

namespace pv {

/// Base of the controllers that move data between a destination-side stream and
/// the caller's local stream, in chunks of at most 256 KiB through the one
/// buffer of the controller and the throttled primitives of the base class.
/// A run sends didStart once the streams are open, progress per chunk, then
/// didSucceed or didFail; an abort ends it without a message.
class StreamTransferController : public FileTransferController {
public:
    StreamTransferController();
    ~StreamTransferController() override;

protected:
    /// Runs a destination-side read stream (owned from here on) to its end,
    /// writing what it yields into dataStream (caller-owned, not yet open; may be
    /// nullptr). At the end asks processReadResultStream for the result. Returns
    /// that result. A data stream that cannot be opened ends the run at once with
    /// start and failure messages.
    TransferResult<QVariant> runReadStream(std::unique_ptr<InputStream> stream,
                                           OutputStream *dataStream, const QString &userInfo,
                                           bool isFileTransfer);
    /// Runs a destination-side write stream (owned from here on), feeding it what
    /// dataStream (caller-owned, not yet open; may be nullptr) yields, then calls
    /// its finish(). Succeeds when everything was written and finished.
    Result runWriteStream(std::unique_ptr<OutputStream> stream, InputStream *dataStream,
                          const QString &userInfo, bool isFileTransfer);
    /// Turns a finished read run into its result (invalid QVariant + error on
    /// failure). The base rejects the call.
    virtual QVariant processReadResultStream(OutputStream *dataStream, const QString &userInfo,
                                             TransferError *error);
    /// The stream being run, or nullptr.
    [[nodiscard]] TransferStream *activeStream() const { return m_activeStream.get(); }
    /// The user-info tag of the running operation.
    [[nodiscard]] const QString &userInfo() const { return m_userInfo; }

private:
    bool waitedTooLong(double lastEvent) const;

    qint64 m_transferLength = 0;
    quint64 m_transferOffset = 0;
    std::vector<char> m_streamBuffer;
    std::unique_ptr<TransferStream> m_activeStream;
    QString m_userInfo;
};

} // namespace pv
