#pragma once

#include "core/alerter.h"

#include <QAbstractTableModel>
#include <QDialog>
#include <QHash>
#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListView;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTextBrowser;

namespace pv {

class DestEmails;
class DestinationsEditor;
class GroupEditor;

/// The destinations list as the window shows it: type icon, hot-folder
/// state, name (red for the default) and code, over the store's records.
/// Name and code cells are edited through the window's checks.
class DestinationsTableModel final : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { IconColumn, HotFolderColumn, NameColumn, CodeColumn, ColumnCount };
    /// setText(row, column, text) applies an edited name or code cell.
    DestinationsTableModel(DestinationsEditor &store,
                           std::function<bool(int, int, const QString &)> setText,
                           QObject *parent = nullptr);
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;
    /// A click on a column header: the store re-sorts its list.
    void sort(int column, Qt::SortOrder order) override;

private:
    DestinationsEditor &m_store;
    std::function<bool(int, int, const QString &)> m_setText;
};

/// The destinations window: the list on the left and the selected record's
/// fields, options and hot folder (or, for a group, its members) on the
/// right. Every rule comes from the UI-free model; the window only shows
/// and forwards. Controls are public so tests can drive them.
class DestinationsWindow final : public QWidget {
    Q_OBJECT

public:
    /// store and alerter are not owned and must outlive the window.
    DestinationsWindow(DestinationsEditor &store, Alerter &alerter, QWidget *parent = nullptr);
    ~DestinationsWindow() override;

    /// Selects the named destination and scrolls to it.
    void selectName(const QString &name);
    /// Saves the record being edited (before quitting, queueing, listing).
    void saveCurrent();

    // Hooks with the desktop's behaviour by default; tests replace them.
    /// A folder chooser: (message, title, button) -> path, "" when cancelled.
    std::function<QString(const QString &, const QString &, const QString &)> chooseFolder;
    /// The modifier keys held now (Alt stands for the Option key).
    std::function<Qt::KeyboardModifiers()> modifiers;
    /// Asks the system (polkit) whether the user may see a stored password;
    /// calls done(granted, whyNot) later.
    std::function<void(std::function<void(bool, QString)>)> authenticate;
    /// Opens the e-mail template editor ("Manage Templates...").
    std::function<void()> manageTemplates;
    /// Opens a local folder in the desktop's file browser; false on failure.
    std::function<bool(const QString &)> openInFileBrowser;
    /// Adds a text to the errors panel and brings the panel to the front.
    std::function<void(const QString &)> showErrors;

    QTableView *list = nullptr;
    QLabel *countLabel = nullptr;
    QPushButton *addButton = nullptr;
    QPushButton *duplicateButton = nullptr;
    QPushButton *groupButton = nullptr;
    QPushButton *removeButton = nullptr;
    QPushButton *defaultButton = nullptr;
    QPushButton *openDestinationsButton = nullptr;

    QLineEdit *nameField = nullptr;
    QLineEdit *codeField = nullptr;
    QPushButton *codeHelpButton = nullptr;
    QComboBox *typePopup = nullptr;
    QLineEdit *hostField = nullptr;
    QLineEdit *portField = nullptr;
    QLineEdit *userField = nullptr;
    QLineEdit *passwordField = nullptr;      ///< hidden characters
    QLineEdit *clearPasswordField = nullptr; ///< shown once revealed
    QPushButton *lockButton = nullptr;
    QLabel *pathLabel = nullptr;
    QLabel *userLabel = nullptr;
    QLabel *passwordLabel = nullptr;
    QLineEdit *pathField = nullptr;
    QPushButton *folderButton = nullptr;
    QPushButton *contentsButton = nullptr;

    QLabel *hotFolderLabel = nullptr;
    QPushButton *createHotFolderButton = nullptr;
    QPushButton *createAllHotFoldersButton = nullptr;
    QPushButton *removeHotFolderButton = nullptr;

    QWidget *optionsPane = nullptr;
    /// One check box per switch key (rules::switchKeys, without the
    /// compression method, which is compressionPopup).
    QHash<QString, QCheckBox *> switches;
    QComboBox *compressionPopup = nullptr;
    QPushButton *diskPasswordButton = nullptr;
    QLineEdit *expiryDaysField = nullptr;
    QLineEdit *attachSizeField = nullptr;
    QLineEdit *subfolderNameField = nullptr;
    QLineEdit *httpUrlField = nullptr;
    QPushButton *fillLinkButton = nullptr;
    QPushButton *linkHelpButton = nullptr;
    /// The tag put on items delivered to a local folder.
    QWidget *tagBox = nullptr;
    QCheckBox *tagApplyBox = nullptr;
    QComboBox *tagPopup = nullptr;
    QWidget *downloadLinkBox = nullptr;
    QLabel *emailOffIndicator = nullptr;
    QLabel *suspendedIndicator = nullptr;

    QTableView *recipientsView = nullptr;
    QPushButton *addRecipientButton = nullptr;
    QPushButton *removeRecipientButton = nullptr;
    QComboBox *templatePopup = nullptr;
    QPushButton *previewButton = nullptr;
    /// The notification preview: To, Cc, Bcc, subject and body.
    QWidget *previewWindow = nullptr;
    QLineEdit *previewTo = nullptr;
    QLineEdit *previewCc = nullptr;
    QLineEdit *previewBcc = nullptr;
    QLineEdit *previewSubject = nullptr;
    QPlainTextEdit *previewBody = nullptr;

    QWidget *groupPane = nullptr;
    QListView *membersView = nullptr;
    QListView *candidatesView = nullptr;
    QPushButton *addMemberButton = nullptr;
    QPushButton *removeMemberButton = nullptr;

    /// The help panel ("Destination Code", "Download Link URL").
    QWidget *helpPanel = nullptr;
    QTextBrowser *helpText = nullptr;

    [[nodiscard]] GroupEditor &groupEditor() { return *m_group; }
    [[nodiscard]] bool passwordRevealed() const { return m_revealed; }

    /// The disk-image password dialog's OK with its two fields; false (and
    /// the alert) when they differ.
    bool setDiskPassword(const QString &password, const QString &confirmation);

private:
    void buildList();
    void buildEditor();
    void selectionChanged();
    void loadRecord();
    void showStates();
    void updateCount();
    /// The record being edited, changed by f, back into the store.
    void edit(const std::function<void(QVariantMap &)> &f);
    [[nodiscard]] int row() const;
    bool commitName(int row, const QString &name);
    bool commitCode(int row, const QString &code);
    void addRow(int kind);
    void removeRow();
    void chooseHotFolder();
    void createAllHotFolders();
    void removeHotFolder();
    void togglePassword();
    void setRevealed(bool revealed);
    void openDiskPasswordDialog();
    void buildEmail(QWidget *parent, QLayout *into);
    void fillTemplatePopup(const QVariantMap &record);
    void refreshPreview();
    void fillTagControls(const QVariantMap &record);
    void showHelp(const QString &title, const QString &html);
    void openDestinations();

    DestinationsEditor &m_store;
    Alerter &m_alerter;
    DestinationsTableModel *m_model = nullptr;
    GroupEditor *m_group = nullptr;
    DestEmails *m_emails = nullptr;
    bool m_loading = false;
    bool m_editing = false;
    bool m_selectionIsChanging = false;
    bool m_keepPasswordRevealed = false;
    bool m_revealed = false;
    /// Until the first record has been shown.
    bool m_firstTime = true;
    int m_shownRow = -1;
};

/// A read-only list of the destinations in the older single-file list
/// "Destinations.xml" (empty when the file is missing or holds none). It
/// starts on the row stored under "selectedListRow"; OK (or a double click)
/// stores the selected row there.
class DestinationChooser final : public QDialog {
    Q_OBJECT

public:
    explicit DestinationChooser(QWidget *parent = nullptr);
    /// The names of the selected rows; empty when the list is empty.
    [[nodiscard]] QStringList selectedDestinations() const;
    /// The name of the selected row, or "".
    [[nodiscard]] QString selectedName() const;

    QListWidget *list = nullptr;
};

} // namespace pv
