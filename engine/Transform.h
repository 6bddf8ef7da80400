#pragma once

// The rotor machine: twenty rotors over the 256 byte values, turned after
// every character and shifted in order at intervals taken from the cycle
// table.
//
// Every rotor is kept as its 256 bytes plus a rotation offset: the rotor in
// place k, turned by o, maps the code v to byte (v + o) mod 256 of its
// string. Directions and step sizes belong to the places, the strings (with
// their offsets) move between places when the order shifts. Between two
// shifts (a run) consecutive characters meet the same strings, each place
// turned by its fixed step per character, so the characters of a run go
// through the chain side by side.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

constexpr int kRotors = 20;
constexpr int kRotorLength = 256;
constexpr int kCycleEntries = 200; // entries 1..200 of the cycle table
constexpr int32_t kMaxPasses = 32767;

// Everything that decides how a message is transformed.
struct RotorSetup {
    // Initial strings of the rotors in places 1..20 (index 0..19).
    std::array<std::array<uint8_t, kRotorLength>, kRotors> rotors{};
    // Turning direction per place: non-zero turns "U" (place i takes the byte
    // from place i + step), 0 turns "D" (place i takes the byte from i - step).
    std::array<uint8_t, kRotors> directions{};
    // Places a rotor turns after each character, 1..256, per place.
    std::array<int32_t, kRotors> steps{};
    // Times each character runs through the whole chain, 1..32767.
    int32_t passes = 1;
    // Characters between two shifts of the rotor order; index 0 is unused.
    std::array<int32_t, kCycleEntries + 1> cycleTable{};
};

class RotorMachine {
public:
    // The ways through the chain, all giving the same bytes: plain C++ over
    // eight characters at a time, 32 characters in 256-bit registers (byte
    // shuffles over 16-byte slices of a rotor), 64 characters with byte
    // permutes over 128-byte tables.
    enum class Path { Portable, Avx2, Avx512 };

    // Whether this processor can run `path`.
    static bool Supported(Path path);
    // The path new machines take: the fastest supported, unless the
    // environment variable VANTREL_TRANSFORM (portable, avx2 or avx512),
    // read once per process, names another one the processor can run.
    static Path DefaultPath();
    // "portable", "avx2" or "avx512".
    static const char* Name(Path path);
    // The processor features the paths depend on, e.g. "avx2 avx512f
    // -avx512bw -avx512vbmi" (a minus: missing).
    static std::string ProcessorFeatures();

    // Takes a set-up after checking its limits (steps 1..256, passes
    // 1..32767). On failure `why` says what is wrong and the machine keeps
    // its previous set-up.
    bool SetUp(const RotorSetup& setup, std::string* why);

    // Both start from the set-up position at the first character, so each
    // call is one whole message.
    void Encrypt(uint8_t* data, std::size_t size) const;
    // Refuses (data untouched) when a rotor is not a permutation of the byte
    // values: such a rotor maps two codes to one byte, so no decryption can
    // give the plaintext back.
    bool Decrypt(uint8_t* data, std::size_t size, std::string* why) const;

    // Takes `path` when the processor supports it; otherwise keeps the path
    // in use. Returns whether `path` is now in use.
    bool UsePath(Path path);
    Path PathInUse() const { return m_path; }

    // Index (0..19) of the first rotor that is not a permutation, or -1.
    int FirstNonPermutation() const { return m_badRotor; }
    // A byte value that rotor does not hold (valid when it is not -1).
    int MissingByte() const { return m_missingByte; }

private:
    // Per place: table index of the rotor standing there (string * 512 +
    // rotation offset), and where the order is in the cycle table.
    struct MachineState {
        uint16_t place[kRotors];
        int32_t cycleIdx;
        int64_t cycleLen;
        int64_t cycleCount;
    };

    void InitState(MachineState& s) const;
    // Turns every place n characters on at once; the order shifts at most
    // once, after the last of them (n never crosses a shift).
    void Advance(MachineState& s, int64_t n) const;
    // Characters left before the next shift of the order, at least 1.
    static int64_t UntilShift(const MachineState& s);
    void Transform(uint8_t* data, std::size_t size, bool decrypt) const;
    void TransformAvx2(uint8_t* data, std::size_t size, bool decrypt) const;
    // Cuts the text into runs of at most `width` characters and hands them
    // to `batch` `kBatch` at a time (the last call padded with empty runs).
    // A place's table is `tables + string * stride`.
    template <int width, int kBatch, typename Batch>
    void ForEachBatch(uint8_t* data, std::size_t size, const uint8_t* tables, std::size_t stride,
                      Batch&& batch) const;

    // Rotor r forward: m_forward[r * 512 + o + v], its 256 bytes stored twice
    // so that offset plus code needs no wrap.
    alignas(64) std::array<uint8_t, kRotors * 512> m_forward{};
    // Rotor r backward: m_inverse[r * 512 + x] is the place of byte x in the
    // unturned string; the turned place is that minus the offset.
    alignas(64) std::array<uint8_t, kRotors * 512> m_inverse{};
    // Both again as sixteen 16-byte slices each, every slice stored as its
    // bytes exclusive-or the slice before it within its half (slices 0 and
    // 8 as they are), for the 256-bit path's look-up.
    alignas(64) std::array<uint8_t, kRotors * 256> m_forwardSlices{};
    alignas(64) std::array<uint8_t, kRotors * 256> m_inverseSlices{};
    // Per place, the turn per character (mod 256); again as 16-bit values
    // padded with zeros to 24 places.
    std::array<uint8_t, kRotors> m_delta{};
    alignas(16) std::array<uint16_t, 24> m_turn{};
    int32_t m_passes = 1;
    std::array<int32_t, kCycleEntries + 1> m_cycle{};
    int m_badRotor = -1;
    int m_missingByte = -1;
    Path m_path = DefaultPath();
    // Per place, the lane offsets j * turn (mod 256) for j = 0..63.
    alignas(64) std::array<std::array<uint8_t, 64>, kRotors> m_laneTurn{};
};
