#pragma once

#include <QWidget>

class QListView;
class QPushButton;

namespace pv {

class HistoryPanelTable;

/// The errors panel: the logged errors, newest first, in the fixed-width
/// font and an error colour that reads on light and dark palettes, each
/// row as high as its wrapped text. "Copy" (and the usual copy shortcut)
/// puts the selected texts on the clipboard; "Clear" empties the log.
class ErrorsPanel final : public QWidget {
    Q_OBJECT

public:
    /// errors is not owned and must outlive the panel.
    explicit ErrorsPanel(HistoryPanelTable &errors, QWidget *parent = nullptr);

    /// Puts the texts of the selected rows on the clipboard.
    void copySelection();

    QListView *list = nullptr;
    QPushButton *copyButton = nullptr;
    QPushButton *clearButton = nullptr;

private:
    HistoryPanelTable &m_errors;
};

} // namespace pv
