#pragma once

#include "prefs/prefs.h"

#include <QWidget>

#include <functional>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;

namespace pv {

class Alerter;

/// The preferences window: hot-folder timing, throttling, where sources go
/// after delivery and the sounds played, the sent-list size and destination
/// codes with their hot folder. Its rules are Prefs'; nothing is stored
/// before OK except the two sound choices. Controls are public so tests can
/// drive them.
class PreferencesWindow final : public QWidget {
    Q_OBJECT

public:
    /// alerter is not owned and must outlive the window.
    explicit PreferencesWindow(Alerter &alerter, QWidget *parent = nullptr);

    /// Shows the stored settings.
    void loadPrefs();
    /// OK: checks, stores and hides; false (window stays) after an alert.
    bool okBtn();
    /// The values the controls show now.
    [[nodiscard]] PrefsValues shownValues() const;

    // Hooks with the desktop's behaviour by default; tests replace them.
    /// A folder chooser: (message, title, button) -> path, "" when cancelled.
    std::function<QString(const QString &, const QString &, const QString &)> chooseFolder;
    std::function<void(const QString &)> playSound;
    /// Cuts the sent list to at most n records (when it holds more).
    std::function<void(qint64)> cutSentList;

    QLineEdit *watchIntervalField = nullptr;
    QCheckBox *throttleUploadsBox = nullptr;
    QLineEdit *throttleUploadsField = nullptr;
    QCheckBox *throttleDownloadsBox = nullptr;
    QLineEdit *throttleDownloadsField = nullptr;

    /// The success and the error choice share one shape.
    struct OutcomeControls {
        QButtonGroup *choice = nullptr; ///< ids are the stored values 0, 1, 4
        QLineEdit *folderField = nullptr;
        QPushButton *folderButton = nullptr;
        QCheckBox *subfoldersBox = nullptr;
        QCheckBox *playBox = nullptr;
        QComboBox *soundPopup = nullptr;
    };
    OutcomeControls success;
    OutcomeControls errors;

    QComboBox *recentItemsPopup = nullptr;
    QCheckBox *enableDestCodesBox = nullptr;
    QLineEdit *codeHotfolderField = nullptr;
    QPushButton *chooseHotFolderButton = nullptr;
    QPushButton *removeHotFolderButton = nullptr;
    QPushButton *okButton = nullptr;
    QPushButton *cancelButton = nullptr;

protected:
    void hideEvent(QHideEvent *event) override;

private:
    QWidget *buildOutcome(OutcomeControls &c, bool isError);
    void showStates();
    void chooseHotFolder();
    void removeHotfolder();

    Alerter &m_alerter;
    QStringList m_sounds;
};

/// Shows the preferences window (one instance) with the stored settings,
/// brought to front when open.
void showPreferencesWindow(QWidget *parent);

} // namespace pv
