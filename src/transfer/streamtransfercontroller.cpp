#include "transfer/streamtransfercontroller.h"

#include <chrono>
#include <thread>

namespace pv {

namespace {

// How long a run waits before looking again at a stream that has nothing to
// offer or no room yet.
void idle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TransferError errorOf(const TransferStream &stream, const QString &fallback)
{
    if (!stream.error().isNull() && stream.error().code != 0)
        return stream.error();
    return TransferError::fileTransfer(fallback);
}

} // namespace

StreamTransferController::StreamTransferController() : m_streamBuffer(size_t(kChunkSize)) {}

StreamTransferController::~StreamTransferController() = default;

bool StreamTransferController::waitedTooLong(double lastEvent) const
{
    return timeOut() > 0 && monotonicSeconds() - lastEvent >= timeOut();
}

QVariant StreamTransferController::processReadResultStream(OutputStream *, const QString &,
                                                           TransferError *error)
{
    if (error)
        *error = TransferError::fileTransfer(
            QStringLiteral("Operation not supported by this controller"));
    return {};
}

Result StreamTransferController::runWriteStream(std::unique_ptr<OutputStream> stream,
                                                InputStream *dataStream, const QString &userInfo,
                                                bool isFileTransfer)
{
    if (dataStream && !openInputStream(dataStream, isFileTransfer)) {
        // Reported rather than ended silently: a caller that only listens to the
        // delegate would otherwise take the missing file for a delivered one.
        sendDidStart();
        return sendDidFail(errorOf(*dataStream, QStringLiteral("Failed opening data stream")));
    }
    OutputStream *out = stream.get();
    m_activeStream = std::move(stream);
    m_userInfo = userInfo;
    m_transferOffset = 0;
    m_transferLength = 0;

    const bool opened = out->open();
    sendDidStart();

    Result result = Result::abandoned();
    bool fastPath = dataStream != nullptr;
    double lastEvent = monotonicSeconds();
    if (!opened) {
        result = sendDidFail(errorOf(*out, QStringLiteral("Failed opening stream")));
    } else {
        for (;;) {
            if (shouldAbort())
                break;
            if (out->status() == TransferStream::Error) {
                result = sendDidFail(errorOf(*out, QStringLiteral("Failed writing to stream")));
                break;
            }
            if (!out->hasSpaceAvailable()) {
                if (waitedTooLong(lastEvent)) {
                    result = sendDidFail(TransferError::fileTransfer(
                        QStringLiteral("Timeout while writing to stream")));
                    break;
                }
                idle();
                continue;
            }
            if (m_transferOffset == 0 && m_transferLength == 0) {
                if (!dataStream) {
                    result = Result();
                    break;
                }
                if (fastPath) {
                    const qint64 n = transferFromInputStream(dataStream, out, kChunkSize);
                    if (n == -2) {
                        fastPath = false;
                    } else if (n < 0) {
                        if (out->status() == TransferStream::Error)
                            result = sendDidFail(
                                errorOf(*out, QStringLiteral("Failed writing to stream")));
                        else
                            result = sendDidFail(TransferError::fileTransfer(
                                QStringLiteral("Failed reading from data stream")));
                        break;
                    } else if (n == 0) {
                        result = Result();
                        break;
                    } else {
                        lastEvent = monotonicSeconds();
                        addToCurrentLength(quint64(n));
                        continue;
                    }
                }
                const qint64 n = readFromInputStream(dataStream, m_streamBuffer.data(), kChunkSize);
                if (n < 0) {
                    result = sendDidFail(TransferError::fileTransfer(
                        QStringLiteral("Failed reading from data stream")));
                    break;
                }
                if (n == 0) {
                    result = Result();
                    break;
                }
                m_transferLength = n;
            }
            const qint64 w = out->write(m_streamBuffer.data() + m_transferOffset,
                                        m_transferLength - qint64(m_transferOffset));
            if (w < 0) {
                result = sendDidFail(errorOf(*out, QStringLiteral("Failed writing to stream")));
                break;
            }
            if (w > 0) {
                lastEvent = monotonicSeconds();
                m_transferOffset += quint64(w);
                if (qint64(m_transferOffset) >= m_transferLength) {
                    m_transferOffset = 0;
                    m_transferLength = 0;
                }
                addToCurrentLength(quint64(w));
            }
        }
    }

    if (dataStream)
        closeInputStream(dataStream);
    if (result) {
        if (out->finish()) {
            // Stored under another name than asked for (it was taken meanwhile):
            // known before the success message, whose receiver reports the name.
            const QString placed = out->placedName();
            if (!placed.isEmpty()) {
                const QString path = storedPath();
                setStoredPath(path.left(path.lastIndexOf(QLatin1Char('/')) + 1) + placed);
            }
            sendDidSucceed();
        } else {
            result = sendDidFail(errorOf(*out, QStringLiteral("Failed writing to stream")));
        }
    }
    // Dropping an unfinished stream discards what it wrote under a temporary name.
    m_activeStream.reset();
    m_userInfo.clear();
    m_transferOffset = 0;
    m_transferLength = 0;
    return result;
}

TransferResult<QVariant>
StreamTransferController::runReadStream(std::unique_ptr<InputStream> stream,
                                        OutputStream *dataStream, const QString &userInfo,
                                        bool isFileTransfer)
{
    if (dataStream && !openOutputStream(dataStream, isFileTransfer)) {
        sendDidStart();
        return sendDidFail(errorOf(*dataStream, QStringLiteral("Failed opening output stream")));
    }
    InputStream *in = stream.get();
    m_activeStream = std::move(stream);
    m_userInfo = userInfo;

    const bool opened = in->open();
    sendDidStart();

    TransferResult<QVariant> result = TransferResult<QVariant>::abandoned();
    bool dataStreamOpen = dataStream != nullptr;
    double lastEvent = monotonicSeconds();
    if (!opened) {
        result = sendDidFail(errorOf(*in, QStringLiteral("Failed opening stream")));
    } else {
        for (;;) {
            if (shouldAbort())
                break;
            if (in->status() == TransferStream::Error) {
                result = sendDidFail(errorOf(*in, QStringLiteral("Failed reading from stream")));
                break;
            }
            qint64 n = 0;
            if (in->status() == TransferStream::Open && in->hasBytesAvailable()) {
                n = in->read(m_streamBuffer.data(), kChunkSize);
                if (n < 0) {
                    result =
                        sendDidFail(errorOf(*in, QStringLiteral("Failed reading from stream")));
                    break;
                }
            }
            if (n > 0) {
                lastEvent = monotonicSeconds();
                if (dataStream && !writeToOutputStream(dataStream, m_streamBuffer.data(), n)) {
                    result = sendDidFail(errorOf(
                        *dataStream, QStringLiteral("Failed writing to output stream (status = %1)")
                                         .arg(int(dataStream->status()))));
                    break;
                }
                addToCurrentLength(quint64(n));
                continue;
            }
            if (in->status() == TransferStream::AtEnd) {
                if (dataStream) {
                    const bool flushed = flushOutputStream(dataStream);
                    const int status = int(dataStream->status());
                    closeOutputStream(dataStream);
                    dataStreamOpen = false;
                    if (!flushed) {
                        result = sendDidFail(
                            errorOf(*dataStream,
                                    QStringLiteral("Failed flushing output stream (status = %1)")
                                        .arg(status)));
                        break;
                    }
                }
                TransferError error;
                const QVariant value = processReadResultStream(dataStream, userInfo, &error);
                if (value.isValid()) {
                    result = value;
                    sendDidSucceed();
                } else {
                    result = sendDidFail(error);
                }
                break;
            }
            // Nothing yet: wait for the source, within the time-out.
            if (waitedTooLong(lastEvent)) {
                result = sendDidFail(TransferError::fileTransfer(
                    QStringLiteral("Timeout while reading from stream")));
                break;
            }
            idle();
        }
    }

    if (dataStreamOpen)
        closeOutputStream(dataStream);
    m_activeStream.reset();
    m_userInfo.clear();
    return result;
}

} // namespace pv
