#include "ui/errorspanel.h"

#include "records/historypaneltable.h"
#include "ui/recordviews.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QListView>
#include <QPushButton>
#include <QVBoxLayout>

namespace pv {

ErrorsPanel::ErrorsPanel(HistoryPanelTable &errors, QWidget *parent)
    : QWidget(parent, Qt::Window), m_errors(errors)
{
    setWindowTitle(QStringLiteral("Errors"));
    list = new QListView(this);
    list->setModel(&m_errors);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setWordWrap(true);
    // Rows are laid out again at each width, so the wrapped texts fit.
    list->setResizeMode(QListView::Adjust);
    list->setUniformItemSizes(false);
    list->setSpacing(2);
    list->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    applyColours();

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

void ErrorsPanel::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange)
        applyColours();
    QWidget::changeEvent(event);
}

void ErrorsPanel::applyColours()
{
    QPalette p = list->palette();
    const QColor red = errorColor(p);
    if (p.color(QPalette::Text) != red) {
        p.setColor(QPalette::Text, red);
        list->setPalette(p);
    }
}

} // namespace pv
