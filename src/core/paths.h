#pragma once

#include <QString>

namespace pv::paths {

/// $XDG_DATA_HOME/Tallowin (the maker folder).
[[nodiscard]] QString makerDir();
/// $XDG_DATA_HOME/Tallowin/Parcelvane: lists, templates, defaults.
[[nodiscard]] QString appDir();
/// appDir()/Destinations: one .dest file per destination.
[[nodiscard]] QString destinationsDir();
/// A per-user scratch folder (mode 0700) under the system temp folder.
[[nodiscard]] QString scratchDir();
/// appDir()/<name>.
[[nodiscard]] QString appFile(const QString &name);

/// Creates the maker, application, scratch and destination folders where
/// missing; the scratch folder is made private to the user.
bool createAppFolders();

} // namespace pv::paths
