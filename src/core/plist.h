#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QVariant>

#include <functional>

namespace pv::plist {

/// Deepest nesting of arrays and dictionaries that parse() accepts.
inline constexpr int kMaxDepth = 512;

/// Parses an XML or binary property list. Dictionaries become QVariantMap,
/// arrays QVariantList, integers qlonglong, reals double, booleans bool,
/// dates QDateTime (UTC) and data QByteArray. Returns an invalid QVariant and
/// fills *error when the bytes are not a property list.
[[nodiscard]] QVariant parse(const QByteArray &bytes, QString *error = nullptr);

/// Reads and parses a whole file; invalid QVariant when missing or malformed.
[[nodiscard]] QVariant readFile(const QString &path, QString *error = nullptr);

/// Serialises to an Apple-style XML property list. Values that have no
/// property-list form (null, unknown types) are left out of their container.
[[nodiscard]] QByteArray toXml(const QVariant &value);

/// Writes the XML form atomically (temporary file, then rename).
[[nodiscard]] bool writeFile(const QString &path, const QVariant &value, QString *error = nullptr);

/// List files (a root array of records) built piece by piece, so that a
/// write costs copying bytes, not serialising every record again: the XML
/// of one element as it stands inside such a file (the library's own
/// output, indentation included).
[[nodiscard]] QByteArray arrayElementXml(const QVariant &value);
/// The file whose root array holds these elements: the same bytes toXml
/// gives for the array of their values.
[[nodiscard]] QByteArray arrayXml(const QList<QByteArray> &elements);
/// Writes arrayXml(elements) atomically.
[[nodiscard]] bool writeArrayFile(const QString &path, const QList<QByteArray> &elements,
                                  QString *error = nullptr);
/// Where one element's XML lies in the file a list was last written to;
/// offset -1 when it has not been written yet.
struct ElementSpan {
    qint64 offset = -1;
    qint64 size = 0;
};
/// The file a list was last written to, held open, and its size then.
struct WrittenArrayFile {
    QFile file;
    qint64 size = -1;
};
/// Writes the array file of spans->size() elements atomically. Elements
/// with a span are copied from the file of the last write (by the kernel),
/// so a list need keep neither its elements' XML nor serialise them again;
/// the others are made by xmlOf(index). When the last file is not as it was
/// left, every element is made afresh. On success *spans tell where the
/// elements lie in the new file and *last holds it open.
[[nodiscard]] bool writeArrayFileReusing(const QString &path, QList<ElementSpan> *spans,
                                         const std::function<QByteArray(qsizetype)> &xmlOf,
                                         WrittenArrayFile *last, QString *error = nullptr);
/// Writes the file at path again, atomically, with elements added at the
/// end of its root array, without reading it into memory (the old bytes are
/// copied by the kernel); a missing file counts as an empty array. Returns
/// false with *error empty when the file does not end the way arrayXml ends
/// an array (the caller then writes it whole), with *error set when writing
/// failed.
[[nodiscard]] bool appendToArrayFile(const QString &path, const QList<QByteArray> &elements,
                                     QString *error);
/// The last element of the root array of a file written by arrayXml, read
/// from the end of the file only; invalid when the file is not laid out so.
[[nodiscard]] QVariant lastArrayElement(const QString &path);

} // namespace pv::plist
