#pragma once

#include "notify/links.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QVariantMap>

namespace pv {

/// The machine-wide values the date and name tokens read, gathered once per
/// substitution so that every date token shows the same instant.
struct TokenEnvironment {
    QDateTime now;
    /// The full name of the logged-in user.
    QString userFullName;
    /// The machine's host name.
    QString computerName;
    QLocale locale;

    /// The clock read now, the user's full name (login name when the account
    /// has none), the host name and the user's locale.
    [[nodiscard]] static TokenEnvironment current();
};

/// What the preview of a destination's e-mail knows: the destination and its
/// password as the editor shows it (already decrypted).
struct PreviewContext {
    QVariantMap destination;
    QString sitePasswordDecr;
};

/// Text of an empty template at delivery time and in the preview.
inline const QString kEmptyTemplateText = QStringLiteral("Parcelvane Parcelvane Notification");
inline const QString kEmptyTemplatePreviewText =
    QStringLiteral("Tallowin Parcelvane Parcelvane Notification");
/// What the link tokens show for an attach-only delivery.
inline const QString kAttachedInsteadOfLink =
    QStringLiteral("n/a, please find the file attached to this message");

/// Delivery variant: fills every token of the template from the delivery.
/// Tokens match in any letter case. Values are inserted literally: a value
/// that itself looks like a token (a file named "<PASSWORD>.pdf") is never
/// substituted again. The site password is decrypted, and each link composed,
/// only when the template asks for it. Pure apart from the decryption; any
/// thread.
[[nodiscard]] QString processTokensFromString(const QString &text, const DeliveryContext &ctx,
                                              const TokenEnvironment &env);
[[nodiscard]] QString processTokensFromString(const QString &text, const DeliveryContext &ctx);

/// Preview variant for the destinations editor: fills what is known without
/// a delivery and leaves "<FILE NAME>" and the two link tokens in place.
[[nodiscard]] QString processTokensFromString(const QString &text, const PreviewContext &ctx,
                                              const TokenEnvironment &env);
[[nodiscard]] QString processTokensFromString(const QString &text, const PreviewContext &ctx);

} // namespace pv
