#pragma once

// The rotor transform done the plain way: rotors are 256-character strings,
// a forward step indexes the string, a backward step searches it, and every
// turn cuts and joins the string. Slow and obviously right; the fast machine
// is checked against it.

#include <string>

#include "engine/Transform.h"

class LiteralMachine {
public:
    explicit LiteralMachine(const RotorSetup& setup) : m_setup(setup) {}

    std::string Encrypt(const std::string& text) const;
    // False when a byte is not found in a rotor (a rotor that is not a
    // permutation); otherwise the first place of the byte counts.
    bool Decrypt(const std::string& text, std::string& out) const;

private:
    bool Run(const std::string& text, bool decrypt, std::string& out) const;
    RotorSetup m_setup;
};
