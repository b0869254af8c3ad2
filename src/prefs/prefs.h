#pragma once

#include <QString>

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

/// Services of the preferences object that other subsystems call.
class Prefs final {
public:
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
