#pragma once

// The test servers of tests/servers/ as destinations: the record a user would
// make for one, and where the server keeps what it received on this machine.

#include "common/sambashare.h"
#include "common/serverenv.h"
#include "prefs/prefs.h"

#include <QDir>
#include <QFile>
#include <QVariantMap>

namespace pvtest {

/// One kind of server: "ftp" (vsftpd), "ftps", "ftps-implicit", "pure-ftpd",
/// "sftp", "webdav-nginx", "webdav-apache" (over TLS), "s3", "google", "smb".
struct RemoteServer {
    QString kind;
    QMap<QString, QString> env; // the fixture's env file

    static QString fixture(const QString &kind)
    {
        if (kind.startsWith("ftp") || kind == "pure-ftpd")
            return "ftp";
        if (kind.startsWith("webdav"))
            return "webdav";
        if (kind == "google")
            return "s3";
        return kind == "smb" ? "samba" : kind;
    }
    explicit RemoteServer(const QString &k) : kind(k), env(serverEnv(fixture(k))) {}

    bool isBucket() const { return kind == "s3" || kind == "google"; }
    QString password() const
    {
        const QString f = fixture(kind);
        return env.value(f == "s3" ? "S3_SECRET"
                                   : f.toUpper().replace("SAMBA", "SMB") + "_PASSWORD");
    }
    /// The server's folder that holds `folder` (below the log-on folder), or
    /// the bucket's folder of the store.
    QString localPath(const QString &folder) const
    {
        if (kind == "pure-ftpd")
            return env.value("PURE_ROOT") + '/' + folder;
        if (kind.startsWith("ftp"))
            return env.value("FTP_ROOT") + '/' + folder;
        if (kind == "sftp")
            return env.value("SFTP_ROOT") + '/' + folder;
        if (kind.startsWith("webdav"))
            return env.value(kind == "webdav-nginx" ? "WEBDAV_NGINX_ROOT" : "WEBDAV_APACHE_ROOT") +
                   "/dav/" + folder;
        if (kind == "smb")
            return env.value("SMB_SHARE_DIR") + '/' + folder;
        return env.value("S3_DATA_DIR") + '/' + bucket();
    }
    QString bucket() const
    {
        return env.value(kind == "google" ? "GS_BUCKET" : "S3_PIPELINE_BUCKET");
    }
    /// What the server stored as name in folder.
    QByteArray stored(const QString &folder, const QString &name) const
    {
        QFile f(localPath(folder) + '/' + name + (isBucket() ? "._S3rver_object" : ""));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    /// Makes folder (and its parents) on the server, open to the server's user.
    bool makeFolder(const QString &folder) const
    {
        QString path = localPath({});
        for (const QString &part : folder.split('/', Qt::SkipEmptyParts)) {
            path += '/' + part;
            if (!QDir().mkpath(path) || !QFile::setPermissions(path, QFile::Permissions(0x7777)))
                return false;
        }
        return true;
    }
    /// A destination delivering into folder (buckets: the bucket itself).
    QVariantMap destination(const QString &name, const QString &folder,
                            const QString &password = {}) const
    {
        QVariantMap d{{"name", name},
                      {"type", 0},
                      {"sendFTPBtn", 1},
                      {"sendEmailBtn", 0},
                      {"overwriteBtn", 0},
                      {"sitePasswordField", pv::Prefs::encryptPassword(
                                                password.isEmpty() ? this->password() : password)}};
        if (kind == "smb") {
            d.insert(smbDest(env, name, folder));
            d.insert("sitePasswordField",
                     pv::Prefs::encryptPassword(password.isEmpty() ? this->password() : password));
        } else if (kind.startsWith("ftp") || kind == "pure-ftpd") {
            d.insert("QFDestType", kind.startsWith("ftps") ? "FTPS (FTP-SSL)" : "FTP Server");
            d.insert("hostField", env.value("FTP_HOST"));
            d.insert("QFPort", env.value(kind == "pure-ftpd"       ? "PURE_PORT"
                                         : kind == "ftps-implicit" ? "FTPS_IMPLICIT_PORT"
                                                                   : "FTP_PORT"));
            d.insert("pathField", '/' + folder);
            d.insert("userField", env.value("FTP_USER"));
        } else if (kind == "sftp") {
            d.insert("QFDestType", "SFTP Server");
            d.insert("hostField", env.value("SFTP_HOST"));
            d.insert("QFPort", env.value("SFTP_PORT"));
            // As users type it: without the leading "/".
            d.insert("pathField", (env.value("SFTP_ROOT") + '/' + folder).mid(1));
            d.insert("userField", env.value("SFTP_USER"));
        } else if (kind.startsWith("webdav")) {
            const bool tls = kind == "webdav-apache";
            d.insert("QFDestType", tls ? "Secure WebDAV Server" : "WebDAV Server");
            d.insert("hostField", tls ? "localhost" : "127.0.0.1");
            d.insert("QFPort", env.value(tls ? "WEBDAV_APACHE_TLS_PORT" : "WEBDAV_NGINX_PORT"));
            d.insert("pathField", "dav/" + folder);
            d.insert("userField", env.value("WEBDAV_USER"));
        } else {
            d.insert("QFDestType", kind == "google" ? "Google Storage" : "Amazon S3");
            d.insert("hostField",
                     env.value(kind == "google" ? "GS_SERVICE_HOST" : "S3_SERVICE_HOST"));
            d.insert("pathField", folder.isEmpty() ? bucket() : folder);
            d.insert("userField", env.value("S3_ACCESS_KEY"));
        }
        return d;
    }
};

} // namespace pvtest
