#pragma once

#include <QAbstractTableModel>
#include <QVariantList>

namespace pv {

/// The recipient list of a destination as it is edited: rows of a kind
/// ("To:", "Cc:" or "Bcc:" under "to") and an address ("email"). Main thread.
class DestEmails final : public QAbstractTableModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DestEmails)

public:
    enum Column { KindColumn, EmailColumn, ColumnCount };

    explicit DestEmails(QObject *parent = nullptr);

    [[nodiscard]] const QVariantList &items() const { return m_items; }
    /// Shows rows (a missing list is an empty one).
    void setItems(const QVariantList &rows);
    /// Adds a row of the selected row's kind ("To:" without one) and returns
    /// it; when the last row still has no address that row is returned and
    /// nothing is added.
    int addRow(int selectedRow);
    void removeRow(int row);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

Q_SIGNALS:
    /// The user changed the list (not setItems).
    void edited();

private:
    QVariantList m_items;
};

} // namespace pv
