#pragma once

#include <QString>

namespace pv::paths {

/// $XDG_DATA_HOME/Tallowin (the maker folder).
[[nodiscard]] QString makerDir();
/// $XDG_DATA_HOME/Tallowin/Parcelvane: lists, templates, defaults.
[[nodiscard]] QString appDir();
/// appDir()/Destinations: one .dest file per destination.
[[nodiscard]] QString destinationsDir();
/// A short stable id of the data folder (so instances for separate data
/// folders keep their sockets and scratch folders apart).
[[nodiscard]] QString instanceId();
/// A private scratch folder (mode 0700) of this user and data folder under the
/// system temp folder.
[[nodiscard]] QString scratchDir();
/// appDir()/<name>.
[[nodiscard]] QString appFile(const QString &name);

/// Creates the maker, application, scratch and destination folders where
/// missing; the scratch folder is made private to the user.
bool createAppFolders();

/// Takes away every permission of the group and others from the data folder
/// and what it holds (folders 0700, files 0600 at most), logging each change.
void tightenDataFolder();

/// Removes everything in the scratch folder. Only for start-up with the
/// instance lock held: nothing in it can belong to a live delivery then.
void emptyScratchDir();

} // namespace pv::paths
