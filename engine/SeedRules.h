#pragma once

// Reading numbers out of key texts (and writing them), and the rules a seed
// text must meet before key generation accepts it. Header-only and plain C++
// so that code which builds a seed text or reads a settings file (without
// linking the engine) applies exactly the same rules.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string>

namespace seedrules {

// Longest seed text key generation accepts: 73 characters expand to exactly
// 50000 table entries, the size of the seed table.
constexpr std::size_t kMaxSeedLength = 73;
// A seed text shorter than this is doubled until it reaches it.
constexpr std::size_t kMinExpandedLength = 18;

struct LeadingNumber {
    bool found = false; // the text begins with a number
    double value = 0.0; // 0 when it does not; +-inf when it is too large
};

// The decimal number a text begins with: leading blanks skipped, then an
// optional sign, digits with at most one decimal point, and an optional
// exponent. Reading stops at the first character that cannot continue the
// number. With `ignoreInnerBlanks`, spaces, tabs and line feeds anywhere are
// skipped (the rule for step-size fields). Independent of the C locale.
inline LeadingNumber ReadLeadingNumber(const char* p, const char* end, bool ignoreInnerBlanks) {
    auto isBlank = [ignoreInnerBlanks](char c) {
        return c == ' ' || c == '\t' || (ignoreInnerBlanks && c == '\n');
    };
    while (p < end && isBlank(*p))
        ++p;
    // Only what a number can hold is copied; a very long run of digits is
    // still read correctly because the buffer grows.
    std::string clean;
    bool negative = false;
    auto next = [&]() {
        if (ignoreInnerBlanks)
            while (p < end && isBlank(*p))
                ++p;
        return p < end ? *p : '\0';
    };
    char c = next();
    if (c == '+' || c == '-') {
        negative = (c == '-');
        ++p;
    }
    bool digits = false;
    bool point = false;
    for (c = next(); p < end; c = next()) {
        if (c >= '0' && c <= '9') {
            digits = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
        clean.push_back(c);
        ++p;
    }
    LeadingNumber result;
    if (!digits)
        return result;
    c = next();
    if (p < end && (c == 'e' || c == 'E')) {
        const char* save = p;
        std::string exponent = "e";
        ++p;
        char s = next();
        if (p < end && (s == '+' || s == '-')) {
            exponent.push_back(s);
            ++p;
        }
        bool expDigits = false;
        for (s = next(); p < end && s >= '0' && s <= '9'; s = next()) {
            exponent.push_back(s);
            expDigits = true;
            ++p;
        }
        if (expDigits)
            clean += exponent;
        else
            p = save;
    }
    double value = 0.0;
    auto [ptr, ec] = std::from_chars(clean.data(), clean.data() + clean.size(), value);
    (void)ptr;
    if (ec == std::errc::result_out_of_range) {
        // Either far too large or a tiny fraction; the exponent tells which.
        const std::size_t e = clean.find('e');
        const bool tiny = e != std::string::npos && clean.find('-', e) != std::string::npos;
        value = tiny ? 0.0 : HUGE_VAL;
    }
    result.found = true;
    result.value = negative ? -value : value;
    return result;
}

inline LeadingNumber ReadLeadingNumber(const std::string& text, bool ignoreInnerBlanks) {
    return ReadLeadingNumber(text.data(), text.data() + text.size(), ignoreInnerBlanks);
}

// A whole number as the program's text files hold it: a minus sign or a
// space, then the digits (" 20", "-5"). The key text files follow it with
// one more space.
inline std::string NumberText(long long value) {
    const std::string digits = std::to_string(value);
    return value < 0 ? digits : " " + digits;
}

// Nearest whole number, a half going to the even neighbour (2.5 -> 2, 3.5 -> 4).
inline double RoundHalfEven(double x) {
    if (!std::isfinite(x))
        return x;
    const double f = std::floor(x);
    const double diff = x - f;
    if (diff > 0.5)
        return f + 1.0;
    if (diff < 0.5)
        return f;
    return std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
}

// The value of a pair of seed characters: the number the pair begins with,
// rounded half to even; 0 when it begins with no number. "37" is 37, "-5" is
// -5, "ab" is 0.
inline int PairValue(char first, char second) {
    const char pair[2] = {first, second};
    const LeadingNumber n = ReadLeadingNumber(pair, pair + 2, false);
    return static_cast<int>(RoundHalfEven(n.value));
}

// The seed text as key generation expands it: doubled while shorter than
// 18 characters.
inline std::string DoubledSeed(std::string seed) {
    if (seed.empty())
        return seed;
    while (seed.size() < kMinExpandedLength)
        seed += seed;
    return seed;
}

// Whether key generation can use `seed`: not empty, at most 73 characters,
// and no pair of characters with a negative value (such a value would name a
// place before the first slot of the shuffle). `why` gets a short reason.
inline bool CheckSeedText(const std::string& seed, std::string* why) {
    auto fail = [why](std::string reason) {
        if (why)
            *why = std::move(reason);
        return false;
    };
    if (seed.empty())
        return fail("the seed text is empty");
    if (seed.size() > kMaxSeedLength)
        return fail("the seed text has " + std::to_string(seed.size()) + " characters (at most " +
                    std::to_string(kMaxSeedLength) + ")");
    // The pairs are read from the doubled seed followed by its reverse.
    const std::string doubled = DoubledSeed(seed);
    const std::string work = doubled + std::string(doubled.rbegin(), doubled.rend());
    for (std::size_t j = 0; j + 1 < work.size(); j += 2) {
        if (PairValue(work[j], work[j + 1]) < 0)
            return fail("the seed text holds the pair \"" + work.substr(j, 2) +
                        "\", whose value is negative");
    }
    return true;
}

} // namespace seedrules
