#pragma once

#include "transfer/transfererror.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>

namespace pv {

class FileTransferController;

/// Base of the byte streams the controllers move data through: the caller's
/// local stream (a file, memory, a buffer) and the stream a controller writes
/// to or reads from on the destination side. Streams are used by one thread at
/// a time and are not copyable. Status values follow the usual stream states.
class TransferStream {
public:
    enum Status {
        NotOpen = 0,
        Opening = 1,
        Open = 2,
        Reading = 3,
        Writing = 4,
        AtEnd = 5,
        Closed = 6,
        Error = 7
    };

    TransferStream() = default;
    virtual ~TransferStream() = default;
    Q_DISABLE_COPY_MOVE(TransferStream)

    /// Opens the stream; on failure the status becomes Error and error() says why.
    virtual bool open() = 0;
    /// Closes the stream; closing twice is harmless.
    virtual void close() = 0;

    [[nodiscard]] Status status() const { return m_status; }
    /// The first error recorded on this stream (isNull() when none).
    [[nodiscard]] const TransferError &error() const { return m_error; }

protected:
    void setStatus(Status s) { m_status = s; }
    /// Records err (only the first error is kept) and sets the Error status.
    void fail(const TransferError &err);
    /// Records err without changing the status (only the first error is kept).
    void recordError(const TransferError &err);

private:
    Status m_status = NotOpen;
    TransferError m_error;
};

/// A stream bytes are read from.
class InputStream : public TransferStream {
public:
    /// Reads up to maxLength bytes. Returns the count, 0 at the end, -1 on error.
    virtual qint64 read(char *buffer, qint64 maxLength) = 0;
    /// False while an open stream has nothing to offer yet (non-blocking sources);
    /// the run loop then waits and applies the controller's time-out.
    [[nodiscard]] virtual bool hasBytesAvailable() const { return status() == Open; }
    /// Size of the stream's content when known in advance, otherwise -1.
    [[nodiscard]] virtual qint64 knownLength() const { return -1; }
};

/// A stream bytes are written to.
class OutputStream : public TransferStream {
public:
    /// Writes up to length bytes. Returns the count written (possibly short), -1 on error.
    virtual qint64 write(const char *buffer, qint64 length) = 0;
    /// Pushes buffered bytes out; false on failure.
    virtual bool flush() { return status() != Error; }
    /// Makes the written content final (for files written under a temporary name:
    /// moves it into place). Called once when a run has written everything; false
    /// on failure with error() set. The default closes the stream.
    virtual bool finish();
    /// After a successful finish(): the file name the content was stored under
    /// when the stream chose it itself (a numbered name when the one asked for
    /// was taken), otherwise empty.
    [[nodiscard]] virtual QString placedName() const { return {}; }
    /// False while an open stream cannot take bytes yet (non-blocking sinks).
    [[nodiscard]] virtual bool hasSpaceAvailable() const { return status() == Open; }
    /// Moves up to maxLength bytes straight from in to this stream without a user
    /// buffer where the system allows it. Returns the count, 0 at in's end, -1 on
    /// error, or -2 when this pair of streams cannot do it (the caller then reads
    /// and writes through its buffer).
    virtual qint64 transferFrom(InputStream &in, qint64 maxLength);
};

/// Reads a local file.
class FileInputStream final : public InputStream {
public:
    explicit FileInputStream(const QString &path);
    ~FileInputStream() override;
    bool open() override;
    void close() override;
    qint64 read(char *buffer, qint64 maxLength) override;
    [[nodiscard]] qint64 knownLength() const override { return m_length; }
    [[nodiscard]] int fileDescriptor() const { return m_fd; }
    [[nodiscard]] const QString &path() const { return m_path; }

private:
    QString m_path;
    int m_fd = -1;
    qint64 m_length = -1;
};

/// The item an output stream writes under a temporary name and puts in place
/// only once complete: place() puts it there (and removes it when that fails);
/// discard() removes it unless it was placed, as a stream ended without
/// finish() must. A removal that fails (a server gone) is logged; the name says
/// what the item is. Local files and SMB uploads share it.
class StagedItem {
public:
    /// Puts the complete item in place: 0 and where it now is, or an errno.
    using Place = std::function<int(QString *placed)>;
    /// Removes the item: 0 or an errno (ENOENT counts as removed).
    using Remove = std::function<int()>;

    StagedItem() = default;
    ~StagedItem() { discard(); }
    Q_DISABLE_COPY_MOVE(StagedItem)

    /// The item (name for the log) exists now.
    void begin(const QString &name, Place place, Remove remove);
    /// 0, or the errno of a placement that failed.
    int place();
    void discard();
    /// Where place() put the item ("" before).
    [[nodiscard]] const QString &placed() const { return m_placed; }

private:
    QString m_name;
    Place m_place;
    Remove m_remove;
    QString m_placed;
    bool m_pending = false;
};

/// Writes a local file, replacing an existing one. With atomic set the bytes go to
/// a temporary file in the same folder (FileTransferController::temporaryNameFor)
/// that finish() puts in place, so a failed or abandoned write leaves the old file
/// (or nothing) in place and no temporary file behind.
class FileOutputStream final : public OutputStream {
public:
    /// Puts the complete temporary file in place: 0 and the path it now has, or an
    /// errno value. Without one, finish() renames it over the target.
    using Placer = std::function<int(const QString &temporaryPath, QString *placedPath)>;

    explicit FileOutputStream(const QString &path, bool atomic = false, Placer placer = {});
    ~FileOutputStream() override;
    bool open() override;
    void close() override;
    qint64 write(const char *buffer, qint64 length) override;
    bool finish() override;
    qint64 transferFrom(InputStream &in, qint64 maxLength) override;
    [[nodiscard]] const QString &path() const { return m_path; }
    /// True once open() has created or truncated the file.
    [[nodiscard]] bool wasOpened() const { return m_opened; }
    [[nodiscard]] QString placedName() const override;

private:
    QString m_path;
    Placer m_placer;
    StagedItem m_staged;
    bool m_atomic;
    bool m_noCopyRange = false;
    bool m_opened = false;
    int m_fd = -1;
};

/// Discards everything written to it.
class NullOutputStream final : public OutputStream {
public:
    bool open() override;
    void close() override;
    qint64 write(const char *buffer, qint64 length) override;
};

/// Reads from bytes in memory. The QByteArray form keeps its own (shared) copy;
/// the pointer form reads the caller's bytes, which must outlive the stream.
class MemoryInputStream final : public InputStream {
public:
    explicit MemoryInputStream(const QByteArray &data);
    MemoryInputStream(const char *bytes, quint64 length);
    bool open() override;
    void close() override;
    qint64 read(char *buffer, qint64 maxLength) override;
    [[nodiscard]] qint64 knownLength() const override { return qint64(m_length); }

private:
    QByteArray m_data;
    const char *m_bytes;
    quint64 m_length;
    quint64 m_offset = 0;
};

/// Collects written bytes in memory.
class MemoryOutputStream final : public OutputStream {
public:
    bool open() override;
    void close() override;
    qint64 write(const char *buffer, qint64 length) override;
    [[nodiscard]] const QByteArray &data() const { return m_data; }

private:
    QByteArray m_data;
};

/// The producer or consumer behind a data-stream adapter. The user info is an
/// opaque pointer handed back unchanged.
class DataStreamSource {
public:
    virtual ~DataStreamSource() = default;
    virtual bool openDataStream(void *userInfo) = 0;
    /// Count read, 0 at the end, -1 or less on failure.
    virtual qint64 readDataFromStream(void *userInfo, char *buffer, qint64 maxLength) = 0;
    /// Count written, -1 or less on failure.
    virtual qint64 writeDataToStream(void *userInfo, const char *buffer, qint64 maxLength) = 0;
    virtual void closeDataStream(void *userInfo) = 0;
};

/// A stream over a DataStreamSource (not owned; must outlive the stream), in
/// either direction: DataReadStream reads what the source yields,
/// DataWriteStream hands it what is written. A source that fails to open leaves
/// the status NotOpen with an error of domain "DataStreamErrorDomain", code -1;
/// a count of -2 or less from the source records that count as the error code.
template <class Direction> class DataStreamAdapter : public Direction {
public:
    DataStreamAdapter(DataStreamSource *source, void *userInfo);
    ~DataStreamAdapter() override;
    bool open() override;
    void close() override;

protected:
    /// What a read or write gives back for the source's count n.
    qint64 passCount(qint64 n);

    DataStreamSource *m_source;
    void *m_info;
};

extern template class DataStreamAdapter<InputStream>;
extern template class DataStreamAdapter<OutputStream>;

class DataReadStream final : public DataStreamAdapter<InputStream> {
public:
    using DataStreamAdapter::DataStreamAdapter;
    qint64 read(char *buffer, qint64 maxLength) override;
};

class DataWriteStream final : public DataStreamAdapter<OutputStream> {
public:
    using DataStreamAdapter::DataStreamAdapter;
    qint64 write(const char *buffer, qint64 length) override;
};

/// The byte range the base data-source methods copy from or into and advance.
struct DataByteRange {
    char *bytes = nullptr;
    quint64 length = 0;
};

} // namespace pv
