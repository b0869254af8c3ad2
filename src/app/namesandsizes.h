#pragma once

#include "core/sizetext.h"
#include "core/urlescape.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <QVariantList>

#include <atomic>

namespace pv {

/// Size of a file or folder in kilobytes as `du -sk` counts them: allocated
/// blocks rounded up, folders included, each hard-linked file once, links not
/// followed (not even path itself). 0 when path cannot be read. Stops early
/// (with a partial count) once stop is set. Any thread.
[[nodiscard]] qint64 sizeK(const QString &path, const std::atomic<bool> *stop = nullptr);

/// Measures items with sizeK on a thread of its own, one at a time in the
/// order asked, so a large tree never holds up the main thread. Create and
/// use it on the main thread; measured() arrives there. The destructor stops
/// a running walk and joins the thread; nothing is reported afterwards.
class SizeMeter final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SizeMeter)

public:
    explicit SizeMeter(QObject *parent = nullptr);
    ~SizeMeter() override;

    /// Queues path for measuring; measured(ticket, k) follows.
    void measure(quint64 ticket, const QString &path);

Q_SIGNALS:
    void measured(quint64 ticket, qint64 k);

private:
    QThread m_thread;
    QObject *m_worker;
    std::atomic<bool> m_stop{false};
};

/// The delivered name of a source: "[" and "]" become "(" and ")", and
/// ".dmg" or ".zip" is appended for a package.
[[nodiscard]] QString composeFinalName(const QString &sourcePath, bool createDmg, bool zip);

/// What a source looks like on disk: its size and newest modification time,
/// for a folder the total and the newest over its tree (links not followed).
/// Two different states mean the source was written to in between.
[[nodiscard]] QVariantList sourceState(const QString &path);

} // namespace pv
