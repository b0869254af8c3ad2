#pragma once

#include <QString>

namespace pv {

/// Destination keys read by the notification code besides those of dk.
namespace ndk {
inline const QString QFUseHTTP = QStringLiteral("QFUseHTTP");
inline const QString QFHttpUrl = QStringLiteral("QFHttpUrl");
inline const QString templatePopup = QStringLiteral("templatePopup");
inline const QString emails = QStringLiteral("emails");
inline const QString attachSizeField = QStringLiteral("attachSizeField");
inline const QString QFCreateLoresPDF = QStringLiteral("QFCreateLoresPDF");
inline const QString QFAttachSubfolder = QStringLiteral("QFAttachSubfolder");
inline const QString QFSubfolderName = QStringLiteral("QFSubfolderName");
} // namespace ndk

/// Keys of an e-mail template dictionary of the templates file.
namespace tk {
inline const QString name = QStringLiteral("name");
inline const QString id = QStringLiteral("id");
inline const QString emailFromField = QStringLiteral("emailFromField");
inline const QString emailSubjectField = QStringLiteral("emailSubjectField");
inline const QString emailBodyField = QStringLiteral("emailBodyField");
inline const QString emailSMTPField = QStringLiteral("emailSMTPField");
inline const QString emailPortField = QStringLiteral("emailPortField");
inline const QString emailSMTPButton = QStringLiteral("emailSMTPButton");
inline const QString emailUserField = QStringLiteral("emailUserField");
inline const QString emailPasswordField = QStringLiteral("emailPasswordField");
inline const QString emailSSLBtn = QStringLiteral("emailSSLBtn");
inline const QString emails = QStringLiteral("emails");
} // namespace tk

/// Keys of a recipient row, and its three kinds.
namespace rk {
inline const QString to = QStringLiteral("to");
inline const QString email = QStringLiteral("email");
inline const QString kindTo = QStringLiteral("To:");
inline const QString kindCc = QStringLiteral("Cc:");
inline const QString kindBcc = QStringLiteral("Bcc:");
} // namespace rk

/// Keys the notification adds to the queue entry's record.
namespace nqk {
inline const QString from = QStringLiteral("from");
inline const QString to = QStringLiteral("to");
inline const QString cc = QStringLiteral("cc");
inline const QString bcc = QStringLiteral("bcc");
inline const QString subject = QStringLiteral("subject");
inline const QString body = QStringLiteral("body");
inline const QString attachments = QStringLiteral("attachments");
inline const QString downloadURLForUser = QStringLiteral("downloadURLForUser");
} // namespace nqk

/// Settings keys read when a notification is composed.
namespace nsk {
inline const QString disableFileAttachedNote = QStringLiteral("disableFileAttachedNote");
} // namespace nsk

/// The maker's web address that ends the message footer.
inline const QString kMakerWebAddress = QStringLiteral("https://tallowin.example");

} // namespace pv
