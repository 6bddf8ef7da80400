#pragma once

#include <QList>
#include <QString>

// Address texts as the user types and sees them. Keys are made from these
// texts, so both sides must write the same address the same way.
namespace NetAddress {

// The text to use for what the user typed: blanks around it removed; an IPv6
// address (with or without [brackets]) in its short form, lower case with the
// longest run of zero groups written "::". Anything else (a dotted IPv4
// address, a host name) is kept exactly as typed.
QString canonical(const QString& typed);

// Whether `text` is an IPv4 or IPv6 address rather than a host name.
bool isLiteral(const QString& text);

// Whether two texts name the same address ("::1" and "0:0::1", an IPv4
// address and its IPv6-mapped form). Texts that are not addresses are
// compared as they are.
bool sameAddress(const QString& a, const QString& b);

// One address of this machine, as the address picker offers it.
struct Local {
    QString text;   // as it goes into the address box
    QString device; // the network interface's name ("eth0", "lo")
    bool loopback = false;
};

// This machine's addresses that another computer can reach: the IPv4 ones
// and the global IPv6 ones (link-local addresses need a scope that the other
// side cannot type) of every interface that is up, then the loopback
// addresses, which reach only this computer.
QList<Local> localAddresses();

} // namespace NetAddress
