#pragma once

#include "common/serverenv.h"
#include "common/testenv.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace pvtest {

/// The folder where the test SMTP server (tests/servers/smtp.sh) stores what it receives.
struct Mailbox {
    QMap<QString, QString> env = serverEnv("smtp");

    QDir dir() const { return QDir(env.value("SMTP_MAIL_DIR")); }
    void clear() const
    {
        for (const QString &f : dir().entryList(QDir::Files))
            dir().remove(f);
    }
    /// Each stored message as smtp_parse.py reads it, oldest first, with the
    /// server's account of its delivery (port, EHLO name, login, envelope) as "meta".
    QList<QJsonObject> messages() const
    {
        QList<QJsonObject> out;
        for (const QString &f : dir().entryList({"*.eml"}, QDir::Files, QDir::Name)) {
            int rc = -1;
            QJsonObject m = QJsonDocument::fromJson(run("python3",
                                                        {qEnvironmentVariable("PV_SOURCE_DIR") +
                                                             "/tests/servers/smtp_parse.py",
                                                         dir().filePath(f)},
                                                        {}, &rc))
                                .object();
            if (rc != 0)
                qFatal("smtp_parse.py failed");
            QFile meta(dir().filePath(QString(f).replace(".eml", ".json")));
            if (meta.open(QIODevice::ReadOnly))
                m.insert("meta", QJsonDocument::fromJson(meta.readAll()).object());
            out << m;
        }
        return out;
    }
    /// The text of a message's first plain-text part.
    static QString bodyText(const QJsonObject &msg)
    {
        for (const QJsonValue &p : msg.value("parts").toArray()) {
            if (p.toObject().value("content_type").toString() == "text/plain")
                return p.toObject().value("text").toString();
        }
        return {};
    }
};

} // namespace pvtest
