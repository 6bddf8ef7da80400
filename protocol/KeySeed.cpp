#include "protocol/KeySeed.h"

#include "engine/SeedRules.h"

namespace {
constexpr int kGroups = 8;
}

Outcome<std::string> MakeSeedText(const std::string& hostAddr, const std::string& clientAddr) {
    const std::string pair = hostAddr + "." + clientAddr;
    std::string groups[kGroups + 1]; // 1..8
    std::string digits;
    int g = 1;
    for (char c : pair) {
        if (c == '.') {
            if (++g > kGroups)
                return Failure{QStringLiteral("the addresses \"%1\" hold more than eight groups")
                                   .arg(QString::fromStdString(pair))};
            continue;
        }
        if (c == '0')
            continue;
        groups[g] += c;
        digits += c;
    }
    for (int i = 1; i <= kGroups; ++i)
        if (groups[i].empty())
            groups[i] = "1"; // a part that is empty or all zeros

    // Characters alternately from the end and from the start; the middle one
    // of an odd count comes twice.
    std::string folded;
    if (!digits.empty()) {
        for (std::size_t a = 0, b = digits.size() - 1; a <= b; ++a, --b) {
            folded += digits[b];
            folded += digits[a];
            if (b == 0)
                break;
        }
    }
    std::string seed = folded + groups[3] + groups[6] + groups[5] + groups[1] + groups[4] +
                       groups[8] + groups[2] + groups[7];
    // Key generation makes sound rotors from the digits 1 to 9 only: a pair
    // that begins with another character counts 0 and breaks the shuffle, so
    // nothing could be decrypted. Every other character (the ":" and letters
    // of an IPv6 address, the letters and "-" of a name) is written as a
    // digit. Dotted IPv4 addresses give digits only and keep their seed.
    for (char& c : seed)
        if (c < '1' || c > '9')
            c = char('1' + static_cast<unsigned char>(c) % 9);
    // Both sides cut a long seed the same way: its first 73 characters.
    return seed.substr(0, seedrules::kMaxSeedLength);
}

Outcome<> SeedTextUsable(const std::string& seed) {
    std::string why;
    if (!seedrules::CheckSeedText(seed, &why))
        return Failure{QString::fromStdString(why)};
    return {};
}
