#pragma once

#include "core/alerter.h"
#include "remote/remotelist.h"

#include <QWidget>

class QAction;
class QDialog;
class QLabel;
class QLineEdit;
class QProgressBar;
class QTableView;

namespace pv {

/// The remote browser: the listing of a destination's folder with a toolbar
/// to refresh it, make a folder in it and delete the selected items. The rows
/// and their rules are RemoteList's; the window shows, asks and forwards.
/// Controls are public so tests can drive them.
class RemoteBrowserWindow final : public QWidget {
    Q_OBJECT

public:
    /// alerter is not owned and must outlive the window.
    explicit RemoteBrowserWindow(Alerter &alerter, QWidget *parent = nullptr);

    [[nodiscard]] RemoteList &list() { return m_list; }
    /// A listing of dest's folder arrived: rows, title, and to the front.
    void showListing(const QVariantMap &dest, const RemoteListing &listing, const QString &url);

    // The user's actions.
    void removeSelectedRows();
    void createNewFolder();
    void folderOk();
    void refresh();
    void copy();

    QTableView *table = nullptr;
    QAction *refreshAction = nullptr;
    QAction *newFolderAction = nullptr;
    QAction *deleteAction = nullptr;
    QLabel *counter = nullptr;
    QLabel *status = nullptr;
    QProgressBar *spinner = nullptr;
    QDialog *folderDialog = nullptr;
    QLineEdit *folderName = nullptr;

private:
    [[nodiscard]] QList<int> selectedRows() const;
    void updateTools();

    Alerter &m_alerter;
    RemoteList m_list;
};

} // namespace pv
