#pragma once

#include "core/alerter.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

namespace pv {

/// The editing rules of destination records, free of any window: the
/// destinations window and the `--destinations` command line both apply
/// them, so a rule and its alert text live here once.
namespace rules {

/// The type names a user can choose, in the type pop-up's order.
[[nodiscard]] const QStringList &destinationTypes();
/// True for a type name the pop-up offers.
[[nodiscard]] bool isKnownType(const QString &type);
/// The port a type takes when the user picks it ("" leaves the port alone).
[[nodiscard]] QString defaultPortFor(const QString &type);
/// The endpoint host a type fixes ("" when the user enters the host).
[[nodiscard]] QString fixedHostFor(const QString &type);
[[nodiscard]] bool isLocalType(const QString &type);
[[nodiscard]] bool isCloudType(const QString &type);

/// The labels of the path, user and password fields for a type.
struct FieldLabels {
    QString path;
    QString user;
    QString password;
};
[[nodiscard]] FieldLabels labelsFor(const QString &type);

/// Picks type for record: `QFDestType`, `type`, the fixed host and port of
/// the cloud types, and, when byUser, the type's default port. A record
/// being loaded (byUser false) keeps its stored port.
void applyType(QVariantMap &record, const QString &type, bool byUser);

/// Host field text with everything up to and including a "://" removed.
[[nodiscard]] QString stripScheme(const QString &host);
/// The stored port for what the port field holds: "21" when empty.
[[nodiscard]] QString portOrDefault(const QString &port);
/// Text with every character that is not one of "0123456789" removed.
[[nodiscard]] QString digitsOnly(const QString &text);
/// Text with every character that is not a letter or digit removed (what
/// typing into a code field leaves).
[[nodiscard]] QString codeCharactersOnly(const QString &text);

/// The alert that refuses code for the record at row (-1 for a record not in
/// the list), or none. An empty code is always accepted.
[[nodiscard]] std::optional<Alert> codeAlert(const QString &code, const QList<QVariantMap> &items,
                                             int row);

/// The download link shown for a record without its own: "http://HOST/PATH"
/// with the path's leading and trailing "/" trimmed; "" for types without
/// FTP in the name.
[[nodiscard]] QString defaultHttpUrl(const QVariantMap &record);

/// Which controls of the delivery options may be used for a record, and
/// what the indicators show. Computed from the record alone, so loading a
/// record and changing a switch give the same states.
struct OptionStates {
    bool hostEnabled = true;
    bool portEnabled = true;
    bool networkFields = true; ///< host, port, user, password; else the folder button
    bool folderPackagingEnabled = true;
    bool folderPackagingOn = false;
    bool downloadLinkShown = false;
    bool finderTagsShown = false;
    bool monthEnabled = false;
    bool dateFormatEnabled = false;
    bool compressionEnabled = false;
    bool encryptEnabled = false;
    bool setDiskPasswordEnabled = false;
    bool attachEnabled = false; ///< attach switch, limit switch and limit field
    bool emailOffShown = false;
    bool suspendedShown = false;
    bool linkFieldEnabled = false;
    bool subfolderNameEnabled = false;
    bool expiryDaysEnabled = false;
};
[[nodiscard]] OptionStates optionStates(const QVariantMap &record);

/// The switches of a record, each stored as the integer 0 or 1.
[[nodiscard]] const QStringList &switchKeys();

/// Sets a switch (or `QFCompressionMethod`) and the switches that follow
/// it: the month folder goes off with the year folder, attach goes off with
/// the e-mail. A switch whose control is disabled for the record cannot be
/// turned on: the text saying so is returned and nothing changes.
[[nodiscard]] QString setSwitch(QVariantMap &record, const QString &key, bool on);

/// The recipient fields of the notification preview.
struct RecipientPreview {
    QString to;
    QString cc;
    QString bcc;
};
/// The destination's recipient rows, then the template's rows whose address
/// the field does not already hold, per kind ("To:", "Cc:", "Bcc:"; other
/// kinds are left out), each list joined by ", ".
[[nodiscard]] RecipientPreview recipientPreview(const QVariantList &destinationEmails,
                                                const QVariantList &templateEmails);

/// The names of the template pop-up: every template of the templates file,
/// or only "[Default Template]" when it holds none. templates is the file's
/// array.
[[nodiscard]] QStringList templateMenuNames(const QVariantList &templates);
/// Chooses a template for record: `QFEmailTemplate` and, when the template
/// has one, `QFEmailTemplateId` (0 for the default template).
void chooseTemplate(QVariantMap &record, const QVariantList &templates, const QString &name);

/// The columns the destinations list can be sorted by.
enum class SortKey { Type, HotFolder, Name, Code };
/// Whether a comes before b in the list sorted by key in order. Names and
/// codes compare case-insensitively; ties in another column go by name.
[[nodiscard]] bool listsBefore(const QVariantMap &a, const QVariantMap &b, SortKey key,
                               Qt::SortOrder order);

/// One entry of the tag menu: the tag and its colour image ("tag-" and the
/// colour name).
struct TagEntry {
    QString name;
    QString image;
};
/// The tags a local destination can put on delivered items, in menu order.
[[nodiscard]] const QList<TagEntry> &tagList();
/// What the tag controls of a record show.
struct TagControls {
    bool applyOn = false;
    bool menuEnabled = false;
    QString tag;
    QString image;
};
[[nodiscard]] TagControls tagControls(const QVariantMap &record);
/// The apply box switched while the menu shows tag.
void setTagApplied(QVariantMap &record, bool apply, const QString &tag);
/// A tag chosen from the menu while the apply box is in state apply.
void chooseTag(QVariantMap &record, bool apply, const TagEntry &tag);

/// The sub-folders every hot folder has.
[[nodiscard]] const QStringList &hotFolderSubfolders();
/// Makes the hot folder parent/name and its three sub-folders without
/// creating missing parents. Succeeds when all four exist afterwards;
/// otherwise *error is the failure of the last step that failed.
bool createHotFolder(const QString &parent, const QString &name, QString *error);

/// The alert for a hot folder that could not be made.
[[nodiscard]] Alert hotFolderNotCreatedAlert(const QString &error);

} // namespace rules
} // namespace pv
