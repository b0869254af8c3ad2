#pragma once

#include <QHash>
#include <QWidget>

class QAction;
class QLabel;
class QPushButton;
class QTableView;
class QTextBrowser;

namespace pv {

class DeliveryListView;
class HistoryTable;
class RecordActions;

/// The delivery history: one row per record with its marks, a details pane
/// for the current record, the counter and "Clear History...". The history
/// is read when the window is made (the first time it is opened), on a
/// worker, so the window shows at once and fills when the records are in;
/// the table draws only the rows in sight. Controls are public so tests can
/// drive them.
class HistoryWindow final : public QWidget {
    Q_OBJECT

public:
    /// history is not owned and must outlive the window.
    explicit HistoryWindow(HistoryTable &history, QWidget *parent = nullptr);

    /// Selects the row of the history and scrolls to it.
    void showRow(int row);
    /// The text the details pane shows beside label ("Name", "Path", ...).
    [[nodiscard]] QString detail(const QString &label) const;

    QTableView *table = nullptr;
    QLabel *counter = nullptr;
    QPushButton *clearButton = nullptr;
    QTextBrowser *details = nullptr;
    RecordActions *actions = nullptr;

private:
    void showDetails();
    void updateCounter();

    HistoryTable &m_history;
    DeliveryListView *m_view = nullptr;
    QHash<QString, QString> m_details;
};

} // namespace pv
