#include "platform/WaitingCopies.h"

namespace {

bool printable(const QString& text) {
    for (const QChar c : text)
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ||
            c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            return false;
    return true;
}

bool same(const WaitingCopy& a, const WaitingCopy& b) {
    return a.address == b.address && a.port == b.port && a.secure == b.secure &&
           a.version == b.version;
}

} // namespace

bool WaitingCopies::acceptable(const WaitingCopy& copy) {
    return !copy.name.isEmpty() && copy.name.toUtf8().size() <= MaxName && printable(copy.name) &&
           !copy.address.trimmed().isEmpty() && copy.address.size() <= MaxAddress &&
           printable(copy.address) && copy.version.size() <= MaxVersion &&
           printable(copy.version) && copy.port != 0;
}

WaitingCopies::Change WaitingCopies::add(const WaitingCopy& copy) {
    if (!acceptable(copy))
        return Change::Ignored;
    for (WaitingCopy& listed : m_copies) {
        if (listed.name != copy.name)
            continue;
        if (same(listed, copy))
            return Change::Unchanged;
        listed = copy;
        return Change::Updated;
    }
    if (m_copies.size() >= Capacity)
        return Change::Ignored;
    m_copies.append(copy);
    return Change::Added;
}

bool WaitingCopies::remove(const QString& name) {
    return m_copies.removeIf([&](const WaitingCopy& c) { return c.name == name; }) > 0;
}

const WaitingCopy* WaitingCopies::find(const QString& name) const {
    for (const WaitingCopy& c : m_copies)
        if (c.name == name)
            return &c;
    return nullptr;
}
