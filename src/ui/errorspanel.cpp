#include "ui/errorspanel.h"

#include "records/historypaneltable.h"
#include "ui/recordviews.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QIdentityProxyModel>
#include <QItemSelectionModel>
#include <QListView>
#include <QPushButton>
#include <QVBoxLayout>

namespace pv {

namespace {
/// The log in the error colour of the view's palette, whatever it is now.
class ErrorTexts final : public QIdentityProxyModel {
public:
    ErrorTexts(QWidget *view) : QIdentityProxyModel(view), m_view(view) {}
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (role == Qt::ForegroundRole)
            return errorColor(m_view->palette());
        return QIdentityProxyModel::data(index, role);
    }

private:
    QWidget *m_view;
};
} // namespace

ErrorsPanel::ErrorsPanel(HistoryPanelTable &errors, QWidget *parent)
    : QWidget(parent, Qt::Window), m_errors(errors)
{
    setWindowTitle(QStringLiteral("Errors"));
    list = new QListView(this);
    auto *texts = new ErrorTexts(list);
    texts->setSourceModel(&m_errors);
    list->setModel(texts);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setWordWrap(true);
    // Rows are laid out again at each width, so the wrapped texts fit.
    list->setResizeMode(QListView::Adjust);
    list->setUniformItemSizes(false);
    list->setSpacing(2);
    list->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    auto *copy = new QAction(QStringLiteral("Copy"), list);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(copy, &QAction::triggered, this, &ErrorsPanel::copySelection);
    addAction(copy);

    copyButton = new QPushButton(QStringLiteral("Copy"), this);
    connect(copyButton, &QPushButton::clicked, this, &ErrorsPanel::copySelection);
    clearButton = new QPushButton(QStringLiteral("Clear"), this);
    connect(clearButton, &QPushButton::clicked, this, [this] { m_errors.clearHistory(); });
    auto *bar = new QHBoxLayout;
    bar->addStretch(1);
    bar->addWidget(clearButton);
    bar->addWidget(copyButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(list, 1);
    layout->addLayout(bar);
    resize(560, 360);
}

void ErrorsPanel::copySelection()
{
    QList<int> rows;
    for (const QModelIndex &i : list->selectionModel()->selectedIndexes())
        rows.append(i.row());
    const QString text = m_errors.copy(rows);
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

} // namespace pv
