#pragma once

#include <QString>
#include <QStringList>

namespace pv {

/// Names of the user settings, spelled as stored.
namespace keys {
inline const QString watchInterval = QStringLiteral("watchInterval");
inline const QString throttleUploads = QStringLiteral("throttleUploads");
inline const QString throttleUploadsSpeed = QStringLiteral("throttleUploadsSpeed");
inline const QString throttleDownloads = QStringLiteral("throttleDownloads");
inline const QString throttleDownloadsSpeed = QStringLiteral("throttleDownloadsSpeed");
inline const QString moveSuccessful = QStringLiteral("moveSuccessful");
inline const QString successFolder = QStringLiteral("successFolder");
inline const QString createSuccessSubfolders = QStringLiteral("createSuccessSubfolders");
inline const QString playSuccBtn = QStringLiteral("playSuccBtn");
inline const QString soundSuccPopup = QStringLiteral("soundSuccPopup");
inline const QString moveErrors = QStringLiteral("moveErrors");
inline const QString errorFolder = QStringLiteral("errorFolder");
inline const QString createErrorSubfolders = QStringLiteral("createErrorSubfolders");
inline const QString playeErrBtn = QStringLiteral("playeErrBtn");
inline const QString soundErrPopup = QStringLiteral("soundErrPopup");
inline const QString recentItems = QStringLiteral("recentItems");
inline const QString enableDestCodes = QStringLiteral("enableDestCodes");
inline const QString codeBasedHotfolder = QStringLiteral("codeBasedHotfolder");
inline const QString useUnderscoresInCodeBasedDeliveryFolderName =
    QStringLiteral("useUnderscoresInCodeBasedDeliveryFolderName");
inline const QString disableTallowinFooter = QStringLiteral("disableTallowinFooter");
inline const QString showDestWin = QStringLiteral("showDestWin");
inline const QString selectedRow = QStringLiteral("selectedRow");
inline const QString selectedListRow = QStringLiteral("selectedListRow");
inline const QString startWatchingFlag = QStringLiteral("startWatchingFlag");
inline const QString ftpResponseTimeout = QStringLiteral("ftpResponseTimeout");
inline const QString iToolsMember = QStringLiteral("iToolsMember");
/// Off (absent) by default: a link in a hot folder could ship any file this
/// account can read to the destination.
inline const QString deliverSymbolicLinks = QStringLiteral("deliverSymbolicLinks");
} // namespace keys

/// What the preferences window shows and stores, one member per control.
struct PrefsValues {
    /// Where a delivered or failed source goes, and the sound played.
    struct Outcome {
        /// 0 the hot folder's sub-folder, 1 `folder`, 4 delete.
        int move = 0;
        QString folder;
        bool subfolders = false;
        bool play = false;
        QString sound;
    };
    qint64 watchInterval = 5;
    bool throttleUploads = false;
    qint64 throttleUploadsSpeed = 0;
    bool throttleDownloads = false;
    qint64 throttleDownloadsSpeed = 0;
    Outcome success;
    Outcome errors;
    QString recentItems;
    bool enableDestCodes = false;
    QString codeBasedHotfolder;
};

/// Services of the preferences object that other subsystems call, and the
/// rules of the preferences window without the window.
class Prefs final {
public:
    /// The entries of the recent-items choice.
    [[nodiscard]] static const QStringList &recentItemsChoices();
    /// The settings as the window shows them: an interval below 6 shows 5, a
    /// throttle speed of 0 shows the switch off, a sound that is not in
    /// sounds shows the first one, "Unlimited" shows "50".
    [[nodiscard]] static PrefsValues loadPrefs(const QStringList &sounds);
    /// The alert that keeps the window open (no folder for "move to folder"),
    /// or "" when OK may store.
    [[nodiscard]] static QString okProblem(const PrefsValues &values);
    /// Stores the values (the interval raised to at least 5, also in values).
    /// Returns the size the sent list must be cut to, or -1 for no cut.
    static qint64 writePrefs(PrefsValues &values);
    /// A numeric field as it is shown after an edit: its integer value,
    /// negative values as 0.
    [[nodiscard]] static QString numericFieldText(const QString &typed);
    /// Removes the code-based hot folder and everything in it (a link: only
    /// the link); a folder with another name is refused. "" on success, else
    /// the alert text.
    [[nodiscard]] static QString removeHotfolder(const QString &path);

    /// "_Code-Based Delivery_" when the underscore setting is on, else
    /// "<Code-Based Delivery>".
    [[nodiscard]] static QString nameOfCodeBasedDeliveryHotFolder();

    /// Scrambles a password into the stored text form; empty in, empty out.
    /// Any failure gives the empty string.
    [[nodiscard]] static QString encryptPassword(const QString &clear);
    /// Reads a stored password; empty in, empty out; failure gives "".
    [[nodiscard]] static QString decryptPassword(const QString &stored);
};

} // namespace pv
