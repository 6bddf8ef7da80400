#pragma once

#include <QString>

// An opt-in record of what the main window shows, for measuring the program
// from outside: when the environment variable VANTREL_TRACE names a file,
// each event appends one line "<CLOCK_MONOTONIC ns> <event> <text>" to it.
// Without the variable nothing is written and each call costs one check.
namespace Trace {

// `event` is one word ("status", "chat", "send"); line ends in `text` are
// written as spaces so that every event stays one line.
void event(const char* event, const QString& text);

} // namespace Trace
