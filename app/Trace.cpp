#include "Trace.h"

#include <QByteArray>
#include <cstdio>
#include <ctime>

namespace {

std::FILE* traceFile() {
    static std::FILE* file = []() -> std::FILE* {
        const QByteArray path = qgetenv("VANTREL_TRACE");
        return path.isEmpty() ? nullptr : std::fopen(path.constData(), "a");
    }();
    return file;
}

} // namespace

void Trace::event(const char* event, const QString& text) {
    std::FILE* file = traceFile();
    if (!file)
        return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    QByteArray line = text.toUtf8();
    line.replace('\n', ' ').replace('\r', ' ');
    std::fprintf(file, "%lld %s %s\n",
                 static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec, event,
                 line.constData());
    // Readers watch the file while the program runs.
    std::fflush(file);
}
