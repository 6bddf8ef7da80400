#pragma once

#include <QString>

// Text that comes from the other side, made safe to show: it can never pass
// for a line of this program's own nor reorder the text around it.
namespace PeerText {

// `text` on one line: cut to `maxChars` (the last being "…", never half a
// character), line breaks and other control characters as visible symbols
// ("␤" for a line break, "␉" for a tab, "␀" ... for the others), and the
// characters that reorder text (embeddings, overrides, isolates) as "�".
QString visible(const QString& text, qsizetype maxChars);

// visible(), for peer text quoted inside a line, inside a first-strong
// isolate (U+2068 ... U+2069) when it holds a right-to-left or Arabic-number
// character: its direction cannot spill over the rest of the line. Text of
// left-to-right and neutral characters only shows the same either way and
// is left as it is.
QString isolated(const QString& text, qsizetype maxChars);

} // namespace PeerText
