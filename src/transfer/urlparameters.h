#pragma once

#include <QString>
#include <QUrl>

namespace pv {

/// Composes a URL: scheme "://" [user [":" password] "@"] host [":" port]
/// ["/" path] ["?" query]. User and password are percent-escaped as UTF-8 with
/// ":@/?" escaped too, so the user-information part stays unambiguous; the path
/// and query have the characters not allowed there escaped ("/" stays in the
/// path). "." and ".." segments are removed. Returns an invalid QUrl when scheme
/// or host is empty. port 0 means none.
[[nodiscard]] QUrl urlWithScheme(const QString &scheme, const QString &user,
                                 const QString &password, const QString &host, int port,
                                 const QString &path, const QString &query = QString());
/// The same without user, password, port and query.
[[nodiscard]] QUrl urlWithScheme(const QString &scheme, const QString &host, const QString &path);

/// The URL's password with percent escapes replaced (UTF-8); a null string when
/// the password is empty.
[[nodiscard]] QString passwordByReplacingPercentEscapes(const QUrl &url);
/// The same without the empty-password rule (an empty password is "").
[[nodiscard]] QString passwordByReplacingPercentEscapesSFTP(const QUrl &url);
/// The URL's user with percent escapes replaced (UTF-8).
[[nodiscard]] QString userByReplacingPercentEscapes(const QUrl &url);
/// The URL's query with percent escapes replaced; a null string when empty.
[[nodiscard]] QString queryByReplacingPercentEscapes(const QUrl &url);
/// The URL rebuilt from scheme, user, host, port and path.
[[nodiscard]] QUrl urlByDeletingPassword(const QUrl &url);
/// The URL rebuilt from scheme, host, port and path.
[[nodiscard]] QUrl urlByDeletingUserAndPassword(const QUrl &url);

} // namespace pv
