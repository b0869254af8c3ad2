#pragma once

#include <QString>

class QWidget;

namespace pv {

/// Puts a window back where the user left it: its size and position (and,
/// for a QMainWindow, its toolbars and docks) as stored under key in the
/// settings. Without a stored state the window keeps the size it has.
/// Call before the window is first shown. Main thread only.
void restoreWindowState(QWidget *w, const QString &key);

/// Stores the size and position of w (and a QMainWindow's toolbars and
/// docks) under key, for restoreWindowState at the next run. Call when the
/// window is hidden or closed, and at quit.
void saveWindowState(const QWidget *w, const QString &key);

/// Restores w's state now and saves it whenever w is hidden or closed.
void keepWindowState(QWidget *w, const QString &key);

} // namespace pv
