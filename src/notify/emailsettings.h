#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <utility>

namespace pv {

class Alerter;
class DestinationsEditor;

/// One entry of the templates window's token menu.
struct TokenMenuEntry {
    QString title;
    QString token;
};
/// The token menu in menu order; these are also the tokens the body colours.
[[nodiscard]] const QList<TokenMenuEntry> &tokenMenu();
/// Spans (start, length) of text that are menu tokens in any letter case.
/// Every "<" starts a candidate that ends at the next ">", so a stray "<"
/// before a token does not hide it.
[[nodiscard]] QList<std::pair<int, int>> tokenSpans(const QString &text);

/// Where a token chosen in the menu goes.
enum class TokenTarget { None, TokenField, Body };
/// Tags of the message fields: the last one clicked is recorded. The subject
/// takes tokens besides the body.
enum FieldTag { kBodyTag = 0, kFromTag = 1, kTokenFieldTag = 4 };
/// The token goes into the token field when it was clicked last and holds
/// text, otherwise into the body only when the body has the focus.
[[nodiscard]] TokenTarget tokenTarget(int recordedTag, bool tokenFieldHasText, bool bodyHasFocus);

/// The e-mail template list and its file, "EmailTemplates.xml" in the
/// application folder: loading at start-up, lookup for composition, and the
/// operations of the templates window without the window. Main thread; the
/// static lookups work on any copy of the list.
class EmailSettings final {
public:
    static inline const QString kFileName = QStringLiteral("EmailTemplates.xml");
    static inline const QString kDefaultSubject =
        QStringLiteral("Tallowin Parcelvane Parcelvane Notification: <FILE NAME>");
    static const QString kDefaultBody;

    /// alerter shows the refusals (not owned; may be null). filePath defaults
    /// to the templates file in the application folder.
    explicit EmailSettings(Alerter *alerter, QString filePath = QString());

    /// Start-up: reads the file. A missing or unreadable file gives a list of
    /// one default template, written at once (an unreadable file is first kept
    /// aside as "EmailTemplates.xml.unreadable"). An empty array stays empty.
    void load();
    /// Writes the whole list atomically; false (and error) when it cannot.
    bool writeEmailTemplates(QString *error = nullptr) const;

    [[nodiscard]] const QVariantList &items() const { return m_items; }
    void setItems(const QVariantList &items);
    [[nodiscard]] QString filePath() const { return m_filePath; }

    /// A new default template: "[Default Template]", id 0, default subject and
    /// body, port "25", authentication on, security none.
    [[nodiscard]] static QVariantMap defaultItem();
    /// The first template named exactly name, else the one named
    /// "[Default Template]", else an empty map.
    [[nodiscard]] QVariantMap getEmailTemplate(const QString &name) const;
    [[nodiscard]] static QVariantMap getEmailTemplate(const QVariantList &items,
                                                      const QString &name);
    /// The first template named exactly name, or an empty map.
    [[nodiscard]] static QVariantMap templateNamed(const QVariantList &items, const QString &name);
    /// Names for a destination's template menu, in list order; only the
    /// default name when the list is empty.
    [[nodiscard]] QStringList templateNames() const;

    /// Adds a copy of the template at selectedRow (a default template when
    /// there is none) named "Email Template N" with the smallest free N, no
    /// recipients and a fresh random id. Returns the new row.
    int addRow(int selectedRow);
    /// Removes the template at row; the default template is refused with the
    /// alert "Default template cannot be deleted". Records the deletion in
    /// changes(). Returns the row to select next, or -1 when nothing was
    /// removed.
    int removeRow(int row);
    /// Renames the template at row. Refused for the default template, for an
    /// empty name ("This field cannot be empty") and for a name another
    /// template has ("Item with this name already exists"). Records the new
    /// name in changes(). True when the name is (or already was) newName.
    bool renameRow(int row, const QString &newName);
    /// Stores one field of the template at row (not its name or id).
    bool setField(int row, const QString &key, const QVariant &value);
    /// Whether the window may leave a text field of the template: the From
    /// and subject fields refuse to be empty ("This field cannot be empty").
    [[nodiscard]] bool mayLeaveField(const QString &key, const QString &text) const;
    /// Stores the SMTP password of the template at row, scrambled.
    bool setSMTPPassword(int row, const QString &clear);
    /// The SMTP password of a template in clear; "" when none is stored.
    [[nodiscard]] static QString smtpPassword(const QVariantMap &emailTemplate);

    /// Template id (as text) to its new name, or to "" when it was deleted:
    /// what DestinationsEditor::checkTemplates applies to the destinations.
    [[nodiscard]] const QHash<QString, QString> &changes() const { return m_changes; }
    void clearChanges() { m_changes.clear(); }
    /// The window's OK: destinations follow the renamed and deleted templates,
    /// the changes are cleared and the list is written.
    bool ok(DestinationsEditor &destinations, QString *error = nullptr);

private:
    [[nodiscard]] bool validRow(int row) const { return row >= 0 && row < m_items.size(); }
    [[nodiscard]] qint64 newId() const;
    void alert(const QString &title, const QString &text) const;

    Alerter *m_alerter;
    QString m_filePath;
    QVariantList m_items;
    QHash<QString, QString> m_changes;
};

} // namespace pv
