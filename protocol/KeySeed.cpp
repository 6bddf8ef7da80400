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
    const std::string seed = folded + groups[3] + groups[6] + groups[5] + groups[1] + groups[4] +
                             groups[8] + groups[2] + groups[7];
    // Both sides cut a long seed the same way: its first 73 characters.
    return seed.substr(0, seedrules::kMaxSeedLength);
}

Outcome<> SeedTextUsable(const std::string& seed) {
    std::string why;
    if (!seedrules::CheckSeedText(seed, &why))
        return Failure{QString::fromStdString(why)};
    return {};
}
