#pragma once

// The engine's transform as it was before it was restructured around runs,
// kept word for word (only the class name differs) as the yardstick for
// bench_engine: its portable lanes are the baseline figures.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/Transform.h" // RotorSetup and the limits

class BaselineMachine {
public:
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

    // Whether the processor can run 64 characters through the chain at once
    // (byte permutes over 128-byte tables). Machines use it when it can.
    static bool WideSupported();
    // Chooses between that and the portable lanes; both give the same bytes.
    // Returns whether the wide path is now in use.
    bool UseWide(bool on);

    // Index (0..19) of the first rotor that is not a permutation, or -1.
    int FirstNonPermutation() const { return m_badRotor; }
    // A byte value that rotor does not hold (valid when it is not -1).
    int MissingByte() const { return m_missingByte; }

private:
    // Lanes of characters transformed side by side.
    static constexpr int kLanes = 8;
    // Places padded to a multiple of eight 16-bit lanes for the offset update.
    static constexpr int kPlaces = 24;

    // Per place: table index of the rotor standing there (string * 512 +
    // rotation offset); bit 8 is always clear.
    struct MachineState {
        alignas(16) uint16_t place[kPlaces];
        int32_t cycleIdx;
        int64_t cycleLen;
        int64_t cycleCount;
    };
    using Schedule = uint16_t[kLanes][kPlaces];

    void InitState(MachineState& s) const;
    // Turns every place n characters on at once; the order shifts at most
    // once, after the last of them (n never crosses a shift).
    void Advance(MachineState& s, int64_t n) const;
    // Characters left before the next shift of the order, at least 1.
    static int64_t UntilShift(const MachineState& s);
    void Transform(uint8_t* data, std::size_t size, bool decrypt) const;
    void StepRotors(MachineState& s) const;
    void CycleRotors(MachineState& s, int64_t n) const;
    void PlanLanes(MachineState& s, Schedule& plan) const;
    void EncryptChar(const Schedule& plan, uint8_t* data, int lanes) const;
    void DecryptChar(const Schedule& plan, uint8_t* data, int lanes) const;

    // Rotor r forward: m_forward[r * 512 + o + v], its 256 bytes stored twice
    // so that offset plus code needs no wrap.
    alignas(64) std::array<uint8_t, kRotors * 512> m_forward{};
    // Rotor r backward: m_inverse[r * 512 + x] is the place of byte x in the
    // unturned string; the turned place is that minus the offset.
    alignas(64) std::array<uint8_t, kRotors * 512> m_inverse{};
    alignas(16) std::array<uint16_t, kPlaces> m_delta{};
    int32_t m_passes = 1;
    std::array<int32_t, kCycleEntries + 1> m_cycle{};
    int m_badRotor = -1;
    int m_missingByte = -1;
    bool m_wide = WideSupported();
    // Per place, the lane offsets j * turn (mod 256) for j = 0..63.
    alignas(64) std::array<std::array<uint8_t, 64>, kRotors> m_laneTurn{};
};
