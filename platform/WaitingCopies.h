#pragma once

#include "platform/Discovery.h"

#include <QList>
#include <QString>

// The copies heard waiting on this network, as listed for the user: at most
// Capacity of them, whatever arrives. What the network brings is untrusted:
// an entry without a usable name or address is not listed, and its texts are
// bounded.
class WaitingCopies {
public:
    static constexpr int Capacity = 64;
    // Longest texts kept: a DNS-SD name has at most 63 bytes, a TXT string
    // at most 255.
    static constexpr int MaxName = 63;
    static constexpr int MaxAddress = 250;
    static constexpr int MaxVersion = 32;

    enum class Change { Added, Updated, Unchanged, Ignored };

    // A new copy is added at the end unless the list is full; a listed one
    // is updated in place.
    Change add(const WaitingCopy& copy);
    // False when no copy of that name was listed.
    bool remove(const QString& name);
    void clear() { m_copies.clear(); }

    // The copy of that name, or nullptr.
    const WaitingCopy* find(const QString& name) const;
    const QList<WaitingCopy>& copies() const { return m_copies; }
    int size() const { return int(m_copies.size()); }

    // Whether `copy` can be listed: a name, an address that is one line of
    // printable characters, and texts within the bounds above.
    static bool acceptable(const WaitingCopy& copy);

private:
    QList<WaitingCopy> m_copies;
};
