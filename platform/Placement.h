#pragma once

class QString;
class QWidget;

// Where the program's boxes and windows open: centred on the main window
// that owns them, never at the screen's corner or over another copy of the
// program, and wide enough for the window manager to show their title.
namespace Placement {

// Moves the top-level `w` (not shown yet, its size set) so that it opens
// centred on `owner`'s window, inside the screen that window is on. Nothing
// happens without an owner.
void centreOn(QWidget* w, const QWidget* owner);

// A width at which a title bar shows `title` whole beside its buttons.
int widthForTitle(const QString& title);

} // namespace Placement
