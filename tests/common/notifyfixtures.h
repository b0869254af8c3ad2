#pragma once

#include "common/testenv.h"
#include "destinations/destination.h"
#include "notify/links.h"
#include "notify/notifykeys.h"
#include "prefs/prefs.h"

#include <QMap>
#include <QVariantMap>

namespace pvtest {

/// The notification template "Mail", logging on as SMTP_USER to SMTP_HOST:SMTP_PORT_PLAIN of
/// smtp (the names of the test server's environment).
inline QVariantMap mailTemplate(const QMap<QString, QString> &smtp, const QString &password)
{
    using namespace pv;
    return {{tk::name, "Mail"},
            {tk::id, 7},
            {tk::emailFromField, "Parcelvane <pv@example.com>"},
            {tk::emailSubjectField, "Delivered <FILE NAME>"},
            {tk::emailBodyField, "Link: <ITEM DOWNLOAD LINK>\nTo: <DESTINATION>"},
            {tk::emailSMTPField, smtp.value("SMTP_HOST")},
            {tk::emailPortField, smtp.value("SMTP_PORT_PLAIN")},
            {tk::emailSMTPButton, 1},
            {tk::emailUserField, smtp.value("SMTP_USER")},
            {tk::emailPasswordField, Prefs::encryptPassword(password)},
            {tk::emailSSLBtn, 0},
            {tk::emails, QVariantList{}}};
}

/// An FTP delivery of report.pdf to "Printer" (ftp.example.org, user jo, folder /incoming).
inline pv::DeliveryContext ftpDelivery(const QString &url)
{
    using namespace pv;
    DeliveryContext ctx;
    ctx.destination = {{dk::name, "Printer"},
                       {dk::QFDestType, kFtpServer},
                       {dk::hostField, "ftp.example.org"},
                       {dk::userField, "jo"},
                       {dk::pathField, "/incoming"},
                       {dk::sitePasswordField, Prefs::encryptPassword("s3cret")}};
    ctx.finalName = "report.pdf";
    ctx.ftpFlag = true;
    ctx.ftpURLEsc = url;
    return ctx;
}

} // namespace pvtest
