#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace pv {

class DestinationsEditor;

/// What one `--destinations` command gives back: the exit status and the
/// texts for standard output and standard error.
struct CommandResult {
    int exitCode = 0;
    QString out;
    QString err;
};

/// The usage text of the `--destinations` command line.
[[nodiscard]] QString destinationsUsage();

/// Runs one `--destinations` command (the arguments after the option) on the
/// store: list, show, add, set, rename or remove, with the same rules and
/// alert texts as the destinations window. password is what
/// `--password-stdin` read (none when the option was not given). Alerts the
/// store raises meanwhile go to the result, not to the store's alerter.
/// Changed records are written at once; the store's selection is kept.
/// Main thread only.
[[nodiscard]] CommandResult runDestinationsCommand(DestinationsEditor &store,
                                                   const QStringList &args,
                                                   const std::optional<QString> &password);

} // namespace pv
