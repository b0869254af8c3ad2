#pragma once

#include "core/alerter.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

namespace pv {

class DestinationsEditor;
struct CommandResult;

/// Turns the server bookmarks of other file-transfer clients into
/// destinations: Cyberduck's favorites file and bookmark files (property
/// lists, XML or binary) and FileZilla's Site Manager. Reading builds
/// partial records (`name`, `QFDestType`, `hostField`, `pathField`,
/// `userField`, `QFPort`); passwords are never taken over. Main thread only.
namespace bookmarks {

/// Largest bookmark file read; anything bigger is refused unread.
inline constexpr qint64 kMaxFileSize = 8 * 1024 * 1024;
/// Most files read from one bookmarks folder.
inline constexpr int kMaxFolderFiles = 10000;
/// Deepest nesting of Site Manager folders.
inline constexpr int kMaxFolderDepth = 64;

/// A bookmark that did not become a destination, and why.
struct Skipped {
    QString name;
    QString reason;
};

/// What reading one client's bookmarks gave.
struct Found {
    QList<QVariantMap> records; ///< partial records, in file order
    QList<Skipped> skipped;
    /// Set when nothing could be read at all (missing, too large, not the
    /// expected format): the reason, naming the file.
    QString error;
};

/// Reads a Cyberduck favorites file (an array of bookmarks), one bookmark
/// file, or a folder of bookmark files (names starting with "." left out).
[[nodiscard]] Found readCyberduck(const QString &path);
/// The favorites file, then the first bookmarks folder that exists, of the
/// desktop application and of its command-line client, below home.
[[nodiscard]] Found getCyberduckBookmarks(const QString &home);
[[nodiscard]] QString cyberduckFavoritesFile(const QString &home);
[[nodiscard]] QStringList cyberduckBookmarkFolders(const QString &home);

/// Reads a FileZilla sitemanager.xml; sites inside folders are named
/// "Folder/Sub/Site" before the naming rules make that a valid name.
[[nodiscard]] Found readFileZilla(const QString &path);
/// The Site Manager file of the current user ("" when there is none).
[[nodiscard]] QString fileZillaSiteManagerFile(const QString &home, const QString &configHome);

/// Decodes FileZilla's stored remote folder ("1 0 4 home 3 web" is
/// "/home/web"): server type, prefix length and prefix, then segments each
/// with its length in characters. "" gives ""; malformed text gives none.
[[nodiscard]] std::optional<QString> decodeRemoteDir(const QString &encoded);

/// raw made acceptable as a destination name: ":" and "/" become "-", "["
/// and "]" become "(" and ")", control characters spaces, leading periods
/// and surrounding spaces go, and the length is capped so the file name
/// fits. fallback when nothing is left.
[[nodiscard]] QString validName(const QString &raw, const QString &fallback);

struct Imported {
    QString name;
    QString type;
    QString host;
};
struct ImportResult {
    QList<Imported> imported;
    QList<Skipped> skipped;
};

/// Adds each partial record as a new destination: a fresh record with the
/// stored defaults, the partial record merged over it, no password, the
/// name numbered ("NAME 1", "NAME 2", ...) when taken; written at once. The
/// store's alerter hears nothing: refusals become skipped entries.
[[nodiscard]] ImportResult addRecords(DestinationsEditor &store,
                                      const QList<QVariantMap> &partials);

/// The window's actions: read the client's bookmarks (path "" for the usual
/// places), confirm with the user, add, and report, all through alerter.
/// Return the number of destinations added.
int importCyberduckBookmarks(DestinationsEditor &store, Alerter &alerter,
                             const QString &path = QString());
int importFileZillaSites(DestinationsEditor &store, Alerter &alerter,
                         const QString &path = QString());
/// Transmit runs on no platform this builds for: the user is told so.
int importTransmitFavs(Alerter &alerter);

/// The usage text of the import command line.
[[nodiscard]] QString importUsage();
/// Runs "cyberduck|filezilla [FILE]" on the store: one "Imported NAME (TYPE
/// host)" or "Skipped NAME: reason" line per bookmark, exit 1 with the
/// reason on standard error when nothing could be read.
[[nodiscard]] CommandResult runImportCommand(DestinationsEditor &store, const QStringList &args);

} // namespace bookmarks
} // namespace pv
