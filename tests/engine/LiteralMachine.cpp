#include "LiteralMachine.h"

#include <algorithm>
#include <vector>

std::string LiteralMachine::Encrypt(const std::string& text) const {
    std::string out;
    Run(text, false, out);
    return out;
}

bool LiteralMachine::Decrypt(const std::string& text, std::string& out) const {
    return Run(text, true, out);
}

bool LiteralMachine::Run(const std::string& text, bool decrypt, std::string& out) const {
    const int length = kRotorLength;
    std::vector<std::string> rotor;
    for (const auto& r : m_setup.rotors)
        rotor.emplace_back(r.begin(), r.end());
    int cycleIdx = 1;
    long long cycleLen = m_setup.cycleTable[1];
    long long cycleCount = 0;
    out.clear();
    for (char c : text) {
        for (int pass = 0; pass < m_setup.passes; ++pass) {
            if (!decrypt) {
                for (int k = 0; k < kRotors; ++k)
                    c = rotor[k][static_cast<unsigned char>(c)];
            } else {
                for (int k = kRotors - 1; k >= 0; --k) {
                    const auto at = rotor[k].find(c);
                    if (at == std::string::npos)
                        return false;
                    c = static_cast<char>(at);
                }
            }
        }
        out += c;
        for (int k = 0; k < kRotors; ++k) {
            const int s = m_setup.steps[k];
            std::string& r = rotor[k];
            if (m_setup.directions[k] != 0)
                r = r.substr(s) + r.substr(0, s); // last L-s, then first s
            else
                r = r.substr(length - s) + r.substr(0, length - s); // last s, then first L-s
        }
        if (++cycleCount >= cycleLen) {
            cycleCount = 0;
            std::rotate(rotor.begin(), rotor.begin() + 1, rotor.end());
            cycleIdx = cycleIdx >= kCycleEntries ? 1 : cycleIdx + 1;
            cycleLen = m_setup.cycleTable[cycleIdx];
        }
    }
    return true;
}
