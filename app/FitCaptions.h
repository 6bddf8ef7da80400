#pragma once

class QWidget;

// The windows have fixed, measured layouts. Text drawn at another scale (a
// high-DPI screen, a scale factor of 2) does not grow exactly in step with
// the boxes around it, so a caption can come out a few pixels too wide.
// Every label, button and check box under `root` whose caption does not fit
// gets a slightly smaller font until it does (at most down to 70 %).
namespace FitCaptions {
void apply(QWidget* root);
// The width a widget needs to show its caption whole; 0 for other widgets.
int neededWidth(const QWidget* w);
} // namespace FitCaptions
