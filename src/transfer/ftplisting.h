#pragma once

#include "transfer/filetransfercontroller.h"

#include <QByteArray>
#include <QDateTime>
#include <QStringConverter>

#include <optional>

namespace pv {

/// One line of an FTP LIST answer as the line parser understood it.
struct FTPListingLine {
    /// What the line describes: a folder, a regular file, something else
    /// (link, device, socket, pipe), or a line the parser did not understand.
    enum Type { Unknown = 0, Directory = 4, Regular = 8, Other = 10 };
    Type type = Unknown;
    QByteArray name;
    qint64 size = 0;
    QDateTime modified;
};

/// Reads the first line of data (up to and including its line end) as a Unix
/// long-listing line ("drwxr-xr-x 2 owner group 4096 May 17 10:32 name", with
/// or without the group column, a year instead of the time for older items);
/// fills *line and returns the bytes consumed, 0 when data is empty. A line of
/// another form is consumed with type Unknown. Dates without a year are taken
/// in the last twelve months before now.
qsizetype parseFTPListingLine(QByteArrayView data, FTPListingLine *line,
                              const QDateTime &now = QDateTime::currentDateTime());

/// Reads a DOS-style line as Windows servers send it ("05-17-24  10:32AM
/// <DIR>  My Folder", "05-17-24  10:32AM  1234 a.txt"; four-digit years and
/// 24-hour times too): the attributes record with the key "name" added, or
/// nothing for "." and "..", for lines of fewer than four parts and for sizes
/// that are not numbers. A date that does not parse leaves the date out.
std::optional<RemoteItemAttributes> parseDOSListingLine(const QString &line);

/// The entries of a LIST answer: folders and regular files under their names
/// ("." and ".." and names containing "WARNING" left out, links and devices
/// too), in Unix or DOS form, line by line. Nothing when the bytes are not
/// text in encoding.
std::optional<RemoteListing>
parseFTPDirectoryListing(const QByteArray &listing, QStringConverter::Encoding encoding,
                         const QDateTime &now = QDateTime::currentDateTime());

} // namespace pv
