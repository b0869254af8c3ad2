#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

#include <memory>

namespace pv {

/// An append-only file of lines, each a kind, an id unique across runs and a
/// property-list value, kept so that what happened survives a crash of the
/// process: append() returns only once the line is on disk (fdatasync).
/// Consumers retire() lines once their effect is stored elsewhere; the file
/// then keeps only the live lines.
///
/// A line is "<kind> <id> <base64 of the value's XML property list>\n". The
/// value therefore comes back exactly as a list file would give it back
/// (dates stay dates, integers integers, nested arrays and dictionaries
/// whole), and a line can hold no newline of its own. A torn last line (no
/// newline: the process died while writing it) is ignored; a line that
/// cannot be decoded is skipped with a log line. Thread-safe.
class Journal {
public:
    /// Kinds in use: records of History.xml and Sent.xml (folded into those
    /// files by the record lists), the temporary name of an upload about to
    /// start, and an entry whose delivery has completed.
    static inline const QString kHistory = QStringLiteral("history");
    static inline const QString kSent = QStringLiteral("sent");
    static inline const QString kUploadTemp = QStringLiteral("upload");
    static inline const QString kDelivered = QStringLiteral("delivered");
    /// An item handed over on the command line, until it has left the queue.
    static inline const QString kQueued = QStringLiteral("queued");

    struct Line {
        QString kind;
        QString id;
        QVariant value;
    };

    /// The journal of a data folder ("<folder>/Journal.log"), shared by all
    /// its users in this process; read when first asked for.
    static std::shared_ptr<Journal> forFolder(const QString &folder);

    /// Reads the file at path (missing: empty). When it held torn or bad
    /// lines it is rewritten without them, so that later lines never join a
    /// torn one. The file is created (0600) by the first append.
    explicit Journal(const QString &path);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    [[nodiscard]] QString path() const { return m_path; }

    /// Appends one line and waits until it is on disk (inside a Batch of
    /// this thread: until the batch commits). Returns its id, or "" when it
    /// could not be written (logged, with *error filled).
    QString append(const QString &kind, const QVariant &value, QString *error = nullptr);
    /// Like append(), but the line is only written: a crash of the process
    /// keeps it, a power cut may not until the next flushed append or batch
    /// of any thread makes it durable with its own. For notes whose loss
    /// costs at worst a leftover or a second copy after a power cut, never a
    /// record: a burst then pays one disk flush per entry, not three.
    QString appendUnflushed(const QString &kind, const QVariant &value, QString *error = nullptr);

    /// Drops the lines with these ids: a "retired <id>" line is appended for
    /// each (not flushed on its own), and the file is rewritten with the live
    /// lines only once the dead ones outnumber them (emptied when none are
    /// left). Returns false when that failed (the lines stay live; logged).
    bool retire(const QStringList &ids);

    /// Live lines of a kind (all kinds when empty), in the order appended.
    [[nodiscard]] QList<Line> lines(const QString &kind = QString()) const;
    /// Live lines of the kinds the record lists do not fold (upload
    /// temporary names, completed deliveries, command-line items): what the
    /// application acts on at start-up, then retires.
    [[nodiscard]] QList<Line> pending() const;

    /// What a line holds for value: the base64 of its XML property list.
    /// Thread-safe and slow; see primePayload().
    [[nodiscard]] static QByteArray payloadOf(const QVariant &value);
    /// The next append of map (the same shared map, not an equal one) takes
    /// payload, made by payloadOf() on another thread, instead of
    /// serialising it again.
    void primePayload(const QVariantMap &map, const QByteArray &payload);

    /// Makes every line written so far durable (one fdatasync when any
    /// waits); false when that failed (logged).
    bool sync();

    /// Appends made on this thread while a batch lives are written at once
    /// but made durable together, with one fdatasync, by commit() (or the
    /// destructor): several records of one outcome cost one disk flush.
    /// A batch made with Flush::Later leaves that flush to a later sync() or
    /// flushed append: records of several outcomes then share it.
    class Batch {
    public:
        enum class Flush { AtCommit, Later };
        /// A null journal (a list that does not journal) makes a batch that does nothing.
        explicit Batch(std::shared_ptr<Journal> journal, Flush flush = Flush::AtCommit);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;
        /// Makes the batch's lines durable; false when that failed.
        [[nodiscard]] bool commit();

    private:
        std::shared_ptr<Journal> m_journal;
        bool m_open = true;
        Flush m_flush;
    };

private:
    struct Raw {
        QString kind;
        QString id;
        QByteArray line; // with its newline
    };
    QString appendLocked(const QString &kind, const QVariant &value, bool flush, QString &why);
    bool openLocked(QString *error);
    bool syncLocked(QString *error);
    bool syncIfDirtyLocked();
    bool rewriteLocked(QString *error);

    static constexpr const char *kRetired = "retired";
    // Each compaction replaces the file, and on a file system without a
    // journal every freed inode slows the creation of files for half a
    // minute: a burst compacts rarely.
    static constexpr qsizetype kCompactAfter = 4096;

    const QString m_path;
    mutable QMutex m_mutex;
    QList<Raw> m_live;
    qsizetype m_dead = 0; // retired lines still in the file
    int m_fd = -1;
    bool m_dirty = false;
    QHash<Qt::HANDLE, int> m_batchDepth;
    QVariantMap m_lastMap; // the value last appended, and its line's payload
    QByteArray m_lastPayload;
    QString m_idPrefix;
    quint64 m_nextId = 0;
};

/// The crash tests' hook: when the environment variable PV_KILL_AT equals
/// point, the process kills itself here with SIGKILL, as kill -9 or a power
/// cut would, so that a test can stop it between two exact steps. Unset, it
/// costs one comparison.
void killPointForTests(const char *point);

} // namespace pv
