#pragma once

#include <QSyntaxHighlighter>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTableView;

namespace pv {

class Alerter;
class AppController;
class DestEmails;
class DestinationsEditor;
class EmailSettings;

/// Colours the menu tokens of a template body blue; anything else keeps the
/// text colour.
class EmailBodyHighlighter final : public QSyntaxHighlighter {
    Q_OBJECT

public:
    /// Colours the text of view, in the colours of its palette.
    explicit EmailBodyHighlighter(QPlainTextEdit *view);
    /// The colour tokens get: blue, lighter on a dark palette.
    [[nodiscard]] static QColor tokenColor(const QPalette &palette);

protected:
    void highlightBlock(const QString &text) override;

private:
    QPlainTextEdit *m_view;
};

/// The e-mail templates window: the template list and the selected
/// template's message, recipients and outgoing-mail settings. Every rule is
/// EmailSettings'; the window shows and forwards. OK (and closing the
/// window) makes destinations follow renamed and deleted templates and
/// writes the list. Controls are public so tests can drive them.
class TemplatesWindow final : public QWidget {
    Q_OBJECT

public:
    /// settings, destinations and alerter are not owned and must outlive it.
    TemplatesWindow(EmailSettings &settings, DestinationsEditor &destinations, Alerter &alerter,
                    QWidget *parent = nullptr);
    ~TemplatesWindow() override;

    /// Shows the list again from the settings (selecting the first row).
    void reload();
    /// The selected template's row, or -1.
    [[nodiscard]] int row() const;
    /// Inserts the token of the token menu's entry at index.
    void insertToken(int index);
    /// OK: applies the pending changes and writes the list, then hides.
    void ok();

    QListWidget *list = nullptr;
    QPushButton *addButton = nullptr;
    QPushButton *removeButton = nullptr;
    QLineEdit *fromField = nullptr;
    QLineEdit *subjectField = nullptr;
    QPlainTextEdit *bodyField = nullptr;
    QPushButton *tokenButton = nullptr;
    QMenu *tokenMenu = nullptr;
    QTableView *recipientsView = nullptr;
    QPushButton *addRecipientButton = nullptr;
    QPushButton *removeRecipientButton = nullptr;
    QLineEdit *smtpField = nullptr;
    QLineEdit *portField = nullptr;
    QCheckBox *authenticationBox = nullptr;
    QLineEdit *userField = nullptr;
    QLineEdit *passwordField = nullptr;
    QComboBox *securityPopup = nullptr;
    QPushButton *okButton = nullptr;
    EmailBodyHighlighter *highlighter = nullptr;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void build();
    void loadTemplate();
    void selectRow(int row);
    void store(const QString &key, const QVariant &value);
    void storeBodyAndRecipients();
    void addRow();
    void removeRow();
    void renamed(int row, const QString &name);

    EmailSettings &m_settings;
    DestinationsEditor &m_destinations;
    Alerter &m_alerter;
    DestEmails *m_emails = nullptr;
    int m_shownRow = -1;
    int m_recordedTag = -1;
    bool m_loading = false;
};

/// The application whose stores the settings windows edit; the windowed
/// start-up sets it once the controller exists.
void setSettingsWindowsController(AppController *controller);
[[nodiscard]] AppController *settingsWindowsController();

/// Shows the templates window (one instance), brought to front when open.
void showTemplatesWindow(QWidget *parent);

} // namespace pv
