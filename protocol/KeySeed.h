#pragma once

// The key seed of a connection, derived from the two peers' addresses so
// that both sides make the same keys without any key crossing the wire.

#include "protocol/Outcome.h"

#include <string>

// The seed text for the pair "hostAddr.clientAddr" (the host's address always
// first, so both peers build the same text). The text is split at its dots
// into at most eight groups ("0" characters are dropped); a pair text with
// more than eight groups cannot be turned into a seed: that is a failure
// saying so. Any other text yields a seed of the digits 1 to 9: a character
// of the addresses that is not one of them (the ":" and letters of IPv6, a
// host name's letters) becomes the digit 1 + (its code mod 9). A seed longer
// than the 73 characters key generation accepts (two IPv6 addresses or a
// host name can make one) is cut to its first 73. Two dotted IPv4 addresses
// give digits only and never more than 48: their seed is the pair's own.
Outcome<std::string> MakeSeedText(const std::string& hostAddr, const std::string& clientAddr);

// Whether key generation accepts `seed` (the same rules it applies): not
// empty, at most 73 characters, no pair of characters with a negative value;
// a failure says which rule it breaks.
Outcome<> SeedTextUsable(const std::string& seed);
