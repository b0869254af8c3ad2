#include "ui/historywindow.h"

#include "records/historytable.h"
#include "ui/recordviews.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace pv {

HistoryWindow::HistoryWindow(HistoryTable &history, QWidget *parent)
    : QWidget(parent, Qt::Window), m_history(history)
{
    setWindowTitle(QStringLiteral("History"));

    m_view = new DeliveryListView(this);
    m_view->setSourceModel(&m_history);
    table = new QTableView(this);
    table->setModel(m_view);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(false);
    table->setShowGrid(false);
    table->setAlternatingRowColors(true);
    table->setIconSize(QSize(16, 16));
    // Fixed row heights and column widths: the view never measures rows it
    // does not draw, whatever the length of the history.
    QHeaderView *rows = table->verticalHeader();
    rows->hide();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(table->fontMetrics().height() + 6);
    QHeaderView *cols = table->horizontalHeader();
    cols->setSectionResizeMode(QHeaderView::Interactive);
    cols->setStretchLastSection(false);
    const int mark = table->fontMetrics().height() + 12;
    const QHash<QString, int> widths{
        {QStringLiteral("success"), mark},
        {QStringLiteral("QFDestType"), mark},
        {QStringLiteral("subject"), mark},
        {QStringLiteral("attachments"), mark},
        {QStringLiteral("finalName"), table->fontMetrics().averageCharWidth() * 34},
        {QStringLiteral("dateEndStr"), table->fontMetrics().averageCharWidth() * 24},
        {QStringLiteral("finalSize"), table->fontMetrics().averageCharWidth() * 14},
        {QStringLiteral("dest"), table->fontMetrics().averageCharWidth() * 18}};
    for (int c = 0; c < m_history.columnCount(); ++c)
        cols->resizeSection(c, widths.value(m_history.columnKeys().at(c), 80));
    // The name takes the room there is; a stretched column measures no rows.
    cols->setSectionResizeMode(m_history.columnOfKey(QStringLiteral("finalName")),
                               QHeaderView::Stretch);
    // The list is kept in this order already; the indicator only says so.
    const QString sortKey = m_history.sortKey() == QLatin1String("dateEnd")
                                ? QStringLiteral("dateEndStr")
                                : m_history.sortKey();
    cols->setSortIndicator(m_history.columnOfKey(sortKey), m_history.sortOrder());
    table->setSortingEnabled(true);
    actions = new RecordActions(table, m_history);

    counter = new QLabel(this);
    clearButton = new QPushButton(QStringLiteral("Clear History..."), this);
    connect(clearButton, &QPushButton::clicked, this, [this] { m_history.clearHistory(); });
    auto *bar = new QHBoxLayout;
    bar->addWidget(counter, 1);
    bar->addWidget(clearButton);

    auto *left = new QWidget(this);
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    leftLayout->addWidget(table, 1);
    leftLayout->addLayout(bar);

    // One document for the pane: it wraps and scrolls the same at any scale.
    details = new QTextBrowser(this);
    details->setOpenLinks(false);
    details->setFrameShape(QFrame::NoFrame);

    auto *split = new QSplitter(Qt::Horizontal, this);
    split->addWidget(left);
    split->addWidget(details);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 2);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(split);

    connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &HistoryWindow::showDetails);
    connect(&m_history, &QAbstractItemModel::rowsInserted, this, &HistoryWindow::updateCounter);
    connect(&m_history, &QAbstractItemModel::rowsRemoved, this, &HistoryWindow::updateCounter);
    connect(&m_history, &QAbstractItemModel::modelReset, this, [this] {
        updateCounter();
        showDetails();
    });
    // A long history takes a moment to read: the window shows at once and
    // fills when the records are in.
    connect(&m_history, &HistoryTable::historyLoaded, this, [this] {
        updateCounter();
        // The newest deliveries are what one looks for first.
        if (m_history.sortKey() == QLatin1String("dateEnd") &&
            m_history.sortOrder() == Qt::AscendingOrder)
            table->scrollToBottom();
    });
    m_history.loadHistoryInBackground();
    updateCounter();
    showDetails();
    resize(960, 560);
    if (m_history.isLoaded() && m_history.sortKey() == QLatin1String("dateEnd") &&
        m_history.sortOrder() == Qt::AscendingOrder)
        table->scrollToBottom();
}

void HistoryWindow::showRow(int row)
{
    const QModelIndex index =
        m_view->index(row, m_history.columnOfKey(QStringLiteral("finalName")));
    if (!index.isValid())
        return;
    table->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                        QItemSelectionModel::Rows);
    table->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

QString HistoryWindow::detail(const QString &label) const
{
    return m_details.value(label);
}

void HistoryWindow::showDetails()
{
    const QModelIndex current = table->selectionModel()->currentIndex();
    const QVariantMap record = current.isValid() ? m_history.itemAt(current.row()) : QVariantMap();
    m_details.clear();
    if (record.isEmpty()) {
        details->clear();
        return;
    }
    QString html = QStringLiteral("<table cellspacing=\"0\" cellpadding=\"3\">");
    for (const auto &[label, value] : historyDetails(record)) {
        m_details.insert(label, value);
        html += QStringLiteral("<tr><td align=\"right\" valign=\"top\"><b>%1:</b></td>"
                               "<td valign=\"top\">%2</td></tr>")
                    .arg(label.toHtmlEscaped(),
                         value.toHtmlEscaped().replace(QLatin1Char('\n'), QStringLiteral("<br>")));
    }
    details->setHtml(html + QStringLiteral("</table>"));
}

void HistoryWindow::updateCounter()
{
    counter->setText(m_history.isLoaded() ? QStringLiteral("%1 deliveries").arg(m_history.count())
                                          : QStringLiteral("Reading the history..."));
}

} // namespace pv
