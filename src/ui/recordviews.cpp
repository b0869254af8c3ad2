#include "ui/recordviews.h"

#include "core/record.h"
#include "destinations/destinationrules.h"
#include "records/recordlist.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QHash>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMimeDatabase>
#include <QPalette>
#include <QStyle>

namespace pv {

QColor errorColor(const QPalette &palette)
{
    return palette.color(QPalette::Base).lightness() < 128 ? QColor(255, 120, 120)
                                                           : QColor(190, 0, 0);
}

QIcon fileTypeIcon(const QString &name, bool isFolder)
{
    const QString suffix = QFileInfo(name).suffix().toLower();
    QStyle *style = QApplication::style();
    if (isFolder && suffix != QLatin1String("zip") && suffix != QLatin1String("dmg"))
        return style->standardIcon(QStyle::SP_DirIcon);
    // Thousands of rows share a few dozen types: look each up once.
    static QHash<QString, QIcon> bySuffix;
    if (const auto it = bySuffix.constFind(suffix); it != bySuffix.cend())
        return *it;
    static const QMimeDatabase db;
    const QMimeType type = db.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(type.iconName());
    if (icon.isNull())
        icon = QIcon::fromTheme(type.genericIconName());
    if (icon.isNull())
        icon = style->standardIcon(QStyle::SP_FileIcon);
    bySuffix.insert(suffix, icon);
    return icon;
}

QIcon destinationTypeIcon(const QString &type)
{
    QStyle *style = QApplication::style();
    return style->standardIcon(type.isEmpty() || rules::isLocalType(type)
                                   ? QStyle::SP_DriveHDIcon
                                   : QStyle::SP_DriveNetIcon);
}

QIcon successIcon(const QString &success)
{
    QStyle *style = QApplication::style();
    if (success == QLatin1String("ok"))
        return style->standardIcon(QStyle::SP_DialogApplyButton);
    if (success == QLatin1String("modified"))
        return style->standardIcon(QStyle::SP_MessageBoxWarning);
    return style->standardIcon(QStyle::SP_MessageBoxCritical);
}

RecordActions::RecordActions(QAbstractItemView *view, RecordList &list)
    : QObject(view), m_view(view), m_list(list)
{
    copyLink = new QAction(QStringLiteral("Copy Link"), this);
    connect(copyLink, &QAction::triggered, this, [this] {
        const QString link = m_list.copyLink(items());
        if (!link.isEmpty())
            QApplication::clipboard()->setText(link);
    });
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, &RecordActions::showMenu);
}

QList<QVariantMap> RecordActions::items() const
{
    QList<int> rows;
    if (QItemSelectionModel *sel = m_view->selectionModel()) {
        for (const QModelIndex &i : sel->selectedRows())
            rows.append(i.row());
    }
    return m_list.itemsForAction(m_clickedRow, rows);
}

void RecordActions::showMenu(const QPoint &pos)
{
    m_clickedRow = m_view->indexAt(pos).row();
    if (!items().isEmpty()) {
        QMenu menu(m_view);
        menu.addAction(copyLink);
        if (!m_view->actions().isEmpty())
            menu.addSeparator();
        menu.addActions(m_view->actions());
        menu.exec(m_view->viewport()->mapToGlobal(pos));
    }
    m_clickedRow = -1;
}

QString DeliveryListView::keyOf(int column) const
{
    const auto *list = qobject_cast<const RecordList *>(sourceModel());
    return list ? list->columnKeys().value(column) : QString();
}

QVariant DeliveryListView::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const QString key = keyOf(index.column());
    const bool mark = key == QLatin1String("success") || key == QLatin1String("QFDestType") ||
                      key == QLatin1String("subject") || key == QLatin1String("attachments");
    if (role != Qt::DisplayRole && role != Qt::DecorationRole && role != Qt::ForegroundRole &&
        role != Qt::ToolTipRole)
        return QIdentityProxyModel::data(index, role);
    const QVariantMap rec = QIdentityProxyModel::data(index, RecordList::RecordRole).toMap();
    const QString success = recString(rec, QStringLiteral("success"));
    const bool missing = success == QLatin1String("missing");
    if (mark) {
        if (role == Qt::DisplayRole)
            return QString();
        const bool shown =
            key == QLatin1String("success") ? !m_onlyFailures || missing
            : key == QLatin1String("QFDestType")
                ? true
                : !recString(rec, key).isEmpty() || !rec.value(key).toList().isEmpty();
        if (!shown)
            return {};
        if (role == Qt::ToolTipRole) {
            if (key == QLatin1String("success"))
                return missing ? QStringLiteral("Not delivered")
                       : success == QLatin1String("modified")
                           ? QStringLiteral("Delivered with errors")
                           : QStringLiteral("Delivered");
            if (key == QLatin1String("subject"))
                return QStringLiteral("Notified by e-mail: %1").arg(recString(rec, key));
            if (key == QLatin1String("attachments"))
                return QStringLiteral("Sent as an attachment");
            return recString(rec, key);
        }
        if (role != Qt::DecorationRole)
            return {};
        QStyle *style = QApplication::style();
        if (key == QLatin1String("success"))
            return successIcon(success);
        if (key == QLatin1String("QFDestType"))
            return destinationTypeIcon(recString(rec, key));
        if (key == QLatin1String("subject"))
            return QIcon::fromTheme(QStringLiteral("mail-message"),
                                    style->standardIcon(QStyle::SP_MessageBoxInformation));
        return QIcon::fromTheme(QStringLiteral("mail-attachment"),
                                style->standardIcon(QStyle::SP_FileLinkIcon));
    }
    if (key == QLatin1String("finalName")) {
        if (role == Qt::DecorationRole)
            return fileTypeIcon(QIdentityProxyModel::data(index, Qt::DisplayRole).toString(),
                                recBool(rec, QStringLiteral("isFolder")) ||
                                    recBool(rec, QStringLiteral("folder")));
        if (role == Qt::ForegroundRole && missing)
            return errorColor(QApplication::palette());
        if (role == Qt::ToolTipRole)
            return recString(rec, QStringLiteral("path"));
    }
    // Beside the destination's name unless the list has a column of its own.
    if (key == QLatin1String("dest") && role == Qt::DecorationRole &&
        qobject_cast<const RecordList *>(sourceModel())->columnOfKey(QStringLiteral("QFDestType")) <
            0)
        return destinationTypeIcon(recString(rec, QStringLiteral("QFDestType")));
    return QIdentityProxyModel::data(index, role);
}

QVariant DeliveryListView::headerData(int section, Qt::Orientation orientation, int role) const
{
    // The mark columns are narrow: their title is a tooltip.
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole) {
        const QString key = keyOf(section);
        if (key == QLatin1String("success") || key == QLatin1String("QFDestType") ||
            key == QLatin1String("subject") || key == QLatin1String("attachments"))
            return QString();
    }
    if (orientation == Qt::Horizontal && role == Qt::ToolTipRole)
        return QIdentityProxyModel::headerData(section, orientation, Qt::DisplayRole);
    return QIdentityProxyModel::headerData(section, orientation, role);
}

} // namespace pv
