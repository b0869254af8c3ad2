#pragma once

#include "remote/remotemanager.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QList>
#include <QVariantMap>

namespace pv {

/// The rows of the remote browser: one RemoteListEntry per listed entry
/// ("name", "datedate", "date", "kind", "sizeb", "size"), and the browser's
/// operations, each run by a RemoteManager on a worker of its own. Reports
/// arrive on the model's (main) thread and are passed on as signals; the
/// window shows them. Main thread only.
class RemoteList final : public QAbstractTableModel, public RemoteManagerClient {
    Q_OBJECT
public:
    enum Column { NameColumn, DateColumn, SizeColumn, ColumnCount };
    /// True for folders (the window draws their icon).
    static constexpr int IsFolderRole = Qt::UserRole;
    /// The row's RemoteListEntry record.
    static constexpr int EntryRole = Qt::UserRole + 1;

    explicit RemoteList(QObject *parent = nullptr);

    /// Rebuilds the rows from listing, sorted by the current sort order.
    void setItems(const RemoteListing &listing);
    /// The listed folder's URL (with login) and its destination record.
    void setCurrURL(const QString &url, const QVariantMap &dest = {});
    [[nodiscard]] const QString &currURL() const { return m_currURL; }
    [[nodiscard]] const QList<QVariantMap> &items() const { return m_items; }
    /// Removes every row (a new listing starts).
    void clear();

    /// The row record of one entry.
    [[nodiscard]] static QVariantMap entryFor(const QString &name,
                                              const RemoteItemAttributes &attributes);
    /// "%i KB" (at least 1), "%1.1f MB" or "%1.2f GB".
    [[nodiscard]] static QString sizeText(qint64 bytes);
    /// "%i item" for one row, "%i items" otherwise.
    [[nodiscard]] QString counterText() const;
    /// False for a bucket of Amazon S3: it has no folders.
    [[nodiscard]] bool canCreateFolder() const;
    /// The alert text refusing name for a new folder; empty when it will do.
    [[nodiscard]] QString folderNameProblem(const QString &name) const;
    /// The names of rows, one a line, for the clipboard.
    [[nodiscard]] QString copyText(const QList<int> &rows) const;

    // The user's operations; each reports through the signals below.
    void refresh();
    /// name must have passed folderNameProblem.
    void createFolder(const QString &name);
    void deleteRows(const QList<int> &rows);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

    // RemoteManagerClient.
    QObject *remoteManagerContext() override { return this; }
    void readOutput(const RemoteStatus &status) override;
    void setListing(const RemoteListing &listing) override { setItems(listing); }

Q_SIGNALS:
    /// The status text and whether the spinner turns.
    void progressChanged(const QString &status, bool busy);
    /// An operation failed: the alert to show.
    void failed(const QString &title, const QString &text);
    /// An operation ended: selections go.
    void operationEnded();
    void counterChanged(const QString &text);

private:
    void run(RemoteManager::Operation op, QVariantMap parameters, const QString &status);

    QList<QVariantMap> m_items;
    QString m_currURL;
    QVariantMap m_dest;
    int m_sortColumn = NameColumn;
    Qt::SortOrder m_sortOrder = Qt::AscendingOrder;
};

} // namespace pv
