#include "transfer/transferstreams.h"

#include "core/log.h"
#include "transfer/filetransfercontroller.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pv {

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

TransferError dataStreamError(qint64 code)
{
    return TransferError::withDescription(QString::fromLatin1(kDataStreamErrorDomain), code,
                                          QStringLiteral("Data stream error %1").arg(code));
}

} // namespace

// ---------------------------------------------------------------------------

void TransferStream::fail(const TransferError &err)
{
    recordError(err);
    m_status = Error;
}

void TransferStream::recordError(const TransferError &err)
{
    if (m_error.isNull())
        m_error = err;
}

bool OutputStream::finish()
{
    close();
    return true;
}

qint64 OutputStream::transferFrom(InputStream &, qint64)
{
    return -2;
}

// ---------------------------------------------------------------------------
// Files

FileInputStream::FileInputStream(const QString &path) : m_path(path) {}

FileInputStream::~FileInputStream()
{
    FileInputStream::close();
}

bool FileInputStream::open()
{
    if (status() != NotOpen)
        return false;
    m_fd = ::open(encoded(m_path).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) {
        fail(TransferError::posix(errno, m_path));
        return false;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            ::close(m_fd);
            m_fd = -1;
            fail(TransferError::posix(EISDIR, m_path));
            return false;
        }
        if (S_ISREG(st.st_mode))
            m_length = st.st_size;
    }
    // Large sequential reads: let the kernel read ahead generously.
    ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    setStatus(Open);
    return true;
}

void FileInputStream::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (status() != NotOpen && status() != Error)
        setStatus(Closed);
}

qint64 FileInputStream::read(char *buffer, qint64 maxLength)
{
    if (status() == AtEnd)
        return 0;
    if (status() != Open)
        return -1;
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, size_t(maxLength));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fail(TransferError::posix(errno, m_path));
            return -1;
        }
        if (n == 0)
            setStatus(AtEnd);
        return n;
    }
}

FileOutputStream::FileOutputStream(const QString &path, bool atomic, Placer placer)
    : m_path(path), m_placer(std::move(placer)), m_atomic(atomic)
{}

void StagedItem::begin(const QString &name, Place place, Remove remove)
{
    m_name = name;
    m_place = std::move(place);
    m_remove = std::move(remove);
    m_placed.clear();
    m_pending = true;
}

int StagedItem::place()
{
    if (!m_pending)
        return EINVAL;
    const int err = m_place(&m_placed);
    if (err) {
        m_placed.clear();
        discard();
        return err;
    }
    m_pending = false;
    return 0;
}

void StagedItem::discard()
{
    if (!m_pending)
        return;
    m_pending = false;
    const int err = m_remove();
    if (err && err != ENOENT)
        log(lcTransfer(), QStringLiteral("Could not remove the partial upload %1: %2")
                              .arg(m_name, QString::fromLocal8Bit(std::strerror(err))));
}

QString FileOutputStream::placedName() const
{
    return m_staged.placed().isEmpty() ? QString() : QFileInfo(m_staged.placed()).fileName();
}

FileOutputStream::~FileOutputStream()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_staged.discard();
}

bool FileOutputStream::open()
{
    if (status() != NotOpen)
        return false;
    QString target = m_path;
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    if (m_atomic) {
        const QFileInfo fi(m_path);
        target =
            fi.path() + QLatin1Char('/') + FileTransferController::temporaryNameFor(fi.fileName());
        flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
    }
    m_fd = ::open(encoded(target).constData(), flags, 0666);
    if (m_fd < 0) {
        const int err = errno;
        // Report the name the caller asked for, not the temporary one.
        fail(TransferError::posix(err, m_path));
        return false;
    }
    if (m_atomic) {
        const QString final = m_path;
        Placer placer = m_placer;
        m_staged.begin(
            target,
            [target, final, placer](QString *placed) {
                if (placer)
                    return placer(target, placed);
                return ::rename(encoded(target).constData(), encoded(final).constData()) == 0
                           ? 0
                           : errno;
            },
            [target] { return ::unlink(encoded(target).constData()) == 0 ? 0 : errno; });
    }
    m_opened = true;
    setStatus(Open);
    return true;
}

void FileOutputStream::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (status() != NotOpen && status() != Error)
        setStatus(Closed);
}

qint64 FileOutputStream::write(const char *buffer, qint64 length)
{
    if (status() != Open)
        return -1;
    for (;;) {
        const ssize_t n = ::write(m_fd, buffer, size_t(length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            fail(TransferError::posix(errno, m_path));
            return -1;
        }
        return n;
    }
}

bool FileOutputStream::finish()
{
    if (status() != Open)
        return false;
    if (::close(m_fd) != 0) {
        m_fd = -1;
        fail(TransferError::posix(errno, m_path));
        m_staged.discard();
        return false;
    }
    m_fd = -1;
    if (m_atomic) {
        if (const int err = m_staged.place()) {
            fail(TransferError::posix(err, m_path));
            return false;
        }
    }
    setStatus(Closed);
    return true;
}

qint64 FileOutputStream::transferFrom(InputStream &in, qint64 maxLength)
{
    auto *file = dynamic_cast<FileInputStream *>(&in);
    if (m_noCopyRange || !file || status() != Open || file->status() != Open)
        return -2;
    for (;;) {
        const ssize_t n =
            ::copy_file_range(file->fileDescriptor(), nullptr, m_fd, nullptr, size_t(maxLength), 0);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
            errno == EBADF) {
            // Not possible between these two files: fall back to read and write.
            m_noCopyRange = true;
            return -2;
        }
        // A genuine I/O error: say which side failed.
        const int err = errno;
        if (err == ENOSPC || err == EDQUOT || err == EFBIG)
            fail(TransferError::posix(err, m_path));
        else
            fail(TransferError::posix(err, file->path()));
        return -1;
    }
}

// ---------------------------------------------------------------------------
// Memory

MemoryInputStream::MemoryInputStream(const QByteArray &data)
    : m_data(data), m_bytes(m_data.constData()), m_length(quint64(m_data.size()))
{}

MemoryInputStream::MemoryInputStream(const char *bytes, quint64 length)
    : m_bytes(bytes), m_length(length)
{}

bool MemoryInputStream::open()
{
    if (status() != NotOpen)
        return false;
    setStatus(Open);
    return true;
}

void MemoryInputStream::close()
{
    if (status() != NotOpen && status() != Error)
        setStatus(Closed);
}

qint64 MemoryInputStream::read(char *buffer, qint64 maxLength)
{
    if (status() == AtEnd)
        return 0;
    if (status() != Open || maxLength < 0)
        return -1;
    const quint64 n = std::min<quint64>(m_length - m_offset, quint64(maxLength));
    if (n == 0) {
        setStatus(AtEnd);
        return 0;
    }
    std::memcpy(buffer, m_bytes + m_offset, n);
    m_offset += n;
    return qint64(n);
}

bool MemoryOutputStream::open()
{
    if (status() != NotOpen)
        return false;
    m_data = QByteArray("");
    setStatus(Open);
    return true;
}

void MemoryOutputStream::close()
{
    if (status() != NotOpen && status() != Error)
        setStatus(Closed);
}

qint64 MemoryOutputStream::write(const char *buffer, qint64 length)
{
    if (status() != Open || length < 0)
        return -1;
    m_data.append(buffer, qsizetype(length));
    return length;
}

bool NullOutputStream::open()
{
    if (status() != NotOpen)
        return false;
    setStatus(Open);
    return true;
}

void NullOutputStream::close()
{
    if (status() != NotOpen && status() != Error)
        setStatus(Closed);
}

qint64 NullOutputStream::write(const char *, qint64 length)
{
    return status() == Open && length >= 0 ? length : -1;
}

// ---------------------------------------------------------------------------
// Data-stream adapters

template <class Direction>
DataStreamAdapter<Direction>::DataStreamAdapter(DataStreamSource *source, void *userInfo)
    : m_source(source), m_info(userInfo)
{}

template <class Direction> DataStreamAdapter<Direction>::~DataStreamAdapter()
{
    if (this->status() == TransferStream::Open || this->status() == TransferStream::AtEnd)
        m_source->closeDataStream(m_info);
}

template <class Direction> bool DataStreamAdapter<Direction>::open()
{
    if (this->status() != TransferStream::NotOpen)
        return false;
    if (!m_source || !m_source->openDataStream(m_info)) {
        this->recordError(dataStreamError(-1));
        return false;
    }
    this->setStatus(TransferStream::Open);
    return true;
}

template <class Direction> void DataStreamAdapter<Direction>::close()
{
    if (this->status() == TransferStream::Open || this->status() == TransferStream::AtEnd) {
        m_source->closeDataStream(m_info);
        this->setStatus(TransferStream::Closed);
    } else {
        this->recordError(dataStreamError(-1));
    }
}

template <class Direction> qint64 DataStreamAdapter<Direction>::passCount(qint64 n)
{
    if (n <= -2)
        this->recordError(dataStreamError(n));
    return n < 0 ? -1 : n;
}

template class DataStreamAdapter<InputStream>;
template class DataStreamAdapter<OutputStream>;

qint64 DataReadStream::read(char *buffer, qint64 maxLength)
{
    if (status() == AtEnd)
        return 0;
    if (status() != Open)
        return -1;
    const qint64 n = m_source->readDataFromStream(m_info, buffer, maxLength);
    if (n == 0)
        setStatus(AtEnd);
    return passCount(n);
}

qint64 DataWriteStream::write(const char *buffer, qint64 length)
{
    if (status() != Open)
        return -1;
    return passCount(m_source->writeDataToStream(m_info, buffer, length));
}

} // namespace pv
