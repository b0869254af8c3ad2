#pragma once

#include <QIcon>
#include <QIdentityProxyModel>
#include <QList>
#include <QVariantMap>

class QAbstractItemView;
class QAction;
class QPalette;

namespace pv {

/// A red that reads on the palette's base colour, light or dark.
[[nodiscard]] QColor errorColor(const QPalette &palette);

/// The icon of a delivered item by its name: a folder for folders (not for
/// ".zip" and ".dmg" packages), else the icon of its MIME type.
[[nodiscard]] QIcon fileTypeIcon(const QString &name, bool isFolder);
/// The icon of a destination type (`QFDestType`): a disk for local types,
/// a network drive for the others.
[[nodiscard]] QIcon destinationTypeIcon(const QString &type);
/// The icon of a record's `success`: "ok", "modified" or anything else
/// (not delivered).
[[nodiscard]] QIcon successIcon(const QString &success);

/// A delivery list (history or processed files) as its window shows it:
/// the mark columns (`success`, `QFDestType`, `subject`, `attachments`) as
/// icons without text, the name with its file-type icon and in red when
/// the item was not delivered, the destination with its type icon.
/// Display only: everything else passes through to the list.
class RecordList;

/// The actions on the records of a delivery list view: the context menu
/// (offered only on a row or with a selection) and "Copy Link", which puts
/// the first record's download link on the clipboard or says why there is
/// none. Further actions for the menu are added with QWidget::addAction on
/// the view.
class RecordActions final : public QObject {
    Q_OBJECT

public:
    /// view shows list (possibly through a proxy that keeps rows); both must
    /// outlive this object, which is a child of view.
    RecordActions(QAbstractItemView *view, RecordList &list);

    /// The records the actions apply to: the right-clicked row alone when it
    /// is outside the selection, otherwise the selected rows.
    [[nodiscard]] QList<QVariantMap> items() const;

    QAction *copyLink = nullptr;

private:
    void showMenu(const QPoint &pos);

    QAbstractItemView *m_view;
    RecordList &m_list;
    int m_clickedRow = -1;
};

class DeliveryListView final : public QIdentityProxyModel {
    Q_OBJECT

public:
    using QIdentityProxyModel::QIdentityProxyModel;

    /// Mark columns without a mark (a delivered item, no mail, no
    /// attachment) show nothing; the processed list marks only failures.
    void setMarkOnlyFailures(bool only) { m_onlyFailures = only; }

    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    [[nodiscard]] QString keyOf(int column) const;
    bool m_onlyFailures = false;
};

} // namespace pv
