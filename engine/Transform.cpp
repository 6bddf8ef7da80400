#include "engine/Transform.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint16_t kOffsetMask = 0xFEFF; // keeps the carry out of the offset byte
constexpr uint16_t kStringMask = 0xFE00; // string * 512

} // namespace

bool RotorMachine::SetUp(const RotorSetup& setup, std::string* why) {
    for (int k = 0; k < kRotors; ++k) {
        const int32_t step = setup.steps[k];
        if (step < 1 || step > kRotorLength) {
            if (why)
                *why = "step size " + std::to_string(step) + " at rotor position " +
                       std::to_string(k + 1) + " is outside 1..256";
            return false;
        }
    }
    if (setup.passes < 1 || setup.passes > kMaxPasses) {
        if (why)
            *why = "passes per character " + std::to_string(setup.passes) + " is outside 1..32767";
        return false;
    }

    m_badRotor = -1;
    m_missingByte = -1;
    for (int r = 0; r < kRotors; ++r) {
        const auto& rotor = setup.rotors[r];
        uint8_t* forward = &m_forward[r * 512];
        uint8_t* inverse = &m_inverse[r * 512];
        std::memcpy(forward, rotor.data(), kRotorLength);
        std::memcpy(forward + kRotorLength, rotor.data(), kRotorLength);
        bool seen[kRotorLength] = {};
        // Walking backwards leaves the first place of a repeated byte.
        for (int i = kRotorLength - 1; i >= 0; --i) {
            inverse[rotor[i]] = static_cast<uint8_t>(i);
            seen[rotor[i]] = true;
        }
        if (m_badRotor < 0) {
            const bool* gap = std::find(seen, seen + kRotorLength, false);
            if (gap != seen + kRotorLength) {
                m_badRotor = r;
                m_missingByte = static_cast<int>(gap - seen);
            }
        }
    }
    m_delta.fill(0);
    for (int k = 0; k < kRotors; ++k) {
        const int32_t step = setup.steps[k];
        const int32_t turn = setup.directions[k] != 0 ? step : kRotorLength - step;
        m_delta[k] = static_cast<uint16_t>(turn & 0xFF);
    }
    m_passes = setup.passes;
    m_cycle = setup.cycleTable;
    return true;
}

void RotorMachine::InitState(MachineState& s) const {
    std::memset(s.place, 0, sizeof s.place);
    for (int k = 0; k < kRotors; ++k)
        s.place[k] = static_cast<uint16_t>(k * 512);
    s.cycleIdx = 1;
    s.cycleLen = m_cycle[1];
    s.cycleCount = 0;
}

void RotorMachine::StepRotors(MachineState& s) const {
    for (int k = 0; k < kPlaces; ++k)
        s.place[k] = static_cast<uint16_t>((s.place[k] + m_delta[k]) & kOffsetMask);
    CycleRotors(s);
}

void RotorMachine::CycleRotors(MachineState& s) const {
    if (++s.cycleCount < s.cycleLen)
        return;
    s.cycleCount = 0;
    // Place k takes the rotor (and its turn) from place k + 1; the first
    // rotor goes to the last place.
    std::rotate(s.place, s.place + 1, s.place + kRotors);
    s.cycleIdx = s.cycleIdx >= kCycleEntries ? 1 : s.cycleIdx + 1;
    s.cycleLen = m_cycle[s.cycleIdx];
}

void RotorMachine::PlanLanes(MachineState& s, Schedule& plan) const {
    for (int j = 0; j < kLanes; ++j) {
        std::memcpy(plan[j], s.place, sizeof s.place);
        StepRotors(s);
    }
}

void RotorMachine::EncryptChar(const Schedule& plan, uint8_t* data, int lanes) const {
    unsigned v[kLanes];
    for (int j = 0; j < kLanes; ++j)
        v[j] = j < lanes ? data[j] : 0u;
    const uint8_t* table = m_forward.data();
    for (int32_t pass = 0; pass < m_passes; ++pass) {
        for (int k = 0; k < kRotors; ++k) {
            for (int j = 0; j < kLanes; ++j)
                v[j] = table[plan[j][k] + v[j]];
        }
    }
    for (int j = 0; j < lanes; ++j)
        data[j] = static_cast<uint8_t>(v[j]);
}

void RotorMachine::DecryptChar(const Schedule& plan, uint8_t* data, int lanes) const {
    unsigned v[kLanes];
    for (int j = 0; j < kLanes; ++j)
        v[j] = j < lanes ? data[j] : 0u;
    const uint8_t* table = m_inverse.data();
    for (int32_t pass = 0; pass < m_passes; ++pass) {
        for (int k = kRotors - 1; k >= 0; --k) {
            for (int j = 0; j < kLanes; ++j) {
                const unsigned at = plan[j][k];
                v[j] = static_cast<uint8_t>(table[(at & kStringMask) + v[j]] - at);
            }
        }
    }
    for (int j = 0; j < lanes; ++j)
        data[j] = static_cast<uint8_t>(v[j]);
}

void RotorMachine::Encrypt(uint8_t* data, std::size_t size) const {
    MachineState s;
    InitState(s);
    alignas(64) Schedule plan;
    for (std::size_t i = 0; i < size; i += kLanes) {
        PlanLanes(s, plan);
        EncryptChar(plan, data + i, static_cast<int>(std::min<std::size_t>(kLanes, size - i)));
    }
}

bool RotorMachine::Decrypt(uint8_t* data, std::size_t size, std::string* why) const {
    if (m_badRotor >= 0) {
        if (why)
            *why = "rotor " + std::to_string(m_badRotor + 1) +
                   " is not a permutation of the 256 byte values (it lacks byte " +
                   std::to_string(m_missingByte) + ")";
        return false;
    }
    MachineState s;
    InitState(s);
    alignas(64) Schedule plan;
    for (std::size_t i = 0; i < size; i += kLanes) {
        PlanLanes(s, plan);
        DecryptChar(plan, data + i, static_cast<int>(std::min<std::size_t>(kLanes, size - i)));
    }
    return true;
}
