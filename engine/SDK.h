#pragma once

// The cipher engine. One object per program folder: it makes the key
// material from a seed text, encrypts and decrypts whole messages with it,
// and wipes its working files. Everything it keeps lives in the object, so
// two engines in one process (two peers in a test) share nothing.
//
// Texts are byte strings: one char is one byte, any of the 256 values.
// Every operation reports failure through EngineResult and then leaves the
// caller's text unchanged; nothing is shown and nothing throws.
//
// Working files in the folder:
//   k1.bin, k1.brs, k1.bcr  twenty 256-byte rotor records (made, reserve, current)
//   k2.bin                  rotor count and passes per character
//   k3.bin                  100-byte record: twenty direction letters, twenty floats
//   k4.bin                  twenty step sizes, one per line
//   k5.bin, k6.dat          ten numbers each, not used for messages

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/FileIO.h"
#include "engine/Transform.h"

struct EngineResult {
    bool ok = true;
    std::string error; // short reason naming the file and what is wrong
    explicit operator bool() const { return ok; }

    static EngineResult Success() { return {}; }
    static EngineResult Failure(std::string why) { return {false, std::move(why)}; }
};

class SDK {
public:
    // `appDir` is the program folder, with or without a trailing '/'.
    explicit SDK(std::string appDir);

    // Makes all key material from `seed` (deterministic: equal seeds give
    // byte-identical key files). A seed shorter than 18 characters comes
    // back doubled until it is at least that long. A seed that is empty,
    // longer than 73 characters, or holds a pair of characters with a
    // negative value is refused before any file is written.
    EngineResult CreateKeys(std::string& seed);
    // Replace `text` by its encryption / decryption, of the same length.
    // Each call starts from the key files' starting position.
    EngineResult EncryptMessage(std::string& text);
    EngineResult DecryptMessage(std::string& text);
    // Overwrites every working file that holds key material and deletes all
    // of them. Carries on past a file it cannot handle and names each such
    // file in the error.
    EngineResult WipeWorkFiles();

    // A short digest of the key material, "1A2B 3C4D", so that two users can
    // compare by voice that they hold the same keys.
    EngineResult KeyCheck(std::string& digest) const;

    // Expanded seed: entries 1..SeedCount() are filled, entry 0 is unused.
    const std::vector<int16_t>& SeedTable() const { return m_seedTable; }
    int32_t SeedCount() const { return m_seedCount; }
    // Cycle lengths, entries 1..200; entry 0 is 0.
    const std::array<int32_t, kCycleEntries + 1>& CycleTable() const { return m_cycleTable; }
    // The three digits the cycle table was built from ("" before any keys).
    const std::string& CycleSeed() const { return m_cycleSeed; }
    // The two numbers of k2.bin as last read or written.
    int16_t RotorCount() const { return m_rotorCount; }
    int32_t PassesPerChar() const { return m_passesPerChar; }
    // The program folder, always ending in '/'.
    const std::string& AppDir() const { return m_appDir; }

    // Called with each working file's bare name just before the wipe deletes
    // it (after it has been overwritten). For diagnostics and tests.
    void SetWipeObserver(std::function<void(const std::string& name)> observer) {
        m_wipeObserver = std::move(observer);
    }

private:
    std::string PathOf(const char* name) const { return m_appDir + name; }

    // Set-up before a message or key generation: the wipe fills.
    void InitEngine();
    // Readers of the key files' content, in the order a message reads them.
    static void ReadDirections(const std::string& data, RotorSetup& setup);
    static EngineResult ReadSteps(const std::string& data, RotorSetup& setup);
    static EngineResult ReadCounts(const std::string& data, int16_t& rotorCount, int32_t& passes);
    // Brings m_prepared up to date with the key files as they are now;
    // `reserve` gets the bytes of k1.brs.
    EngineResult PrepareMessage(const std::string*& reserve);
    EngineResult RestoreRotorFile(const std::string& reserve);
    EngineResult RunMessage(std::string& text, bool decrypt);

    void ExpandSeed(std::string& seed);
    std::string ShuffleRotors() const;
    EngineResult WriteKeyFiles();
    void BuildCycleTable(const std::string& cycleSeed);

    std::string m_appDir;
    std::vector<int16_t> m_seedTable;
    int32_t m_seedCount = 0;
    std::array<int32_t, kCycleEntries + 1> m_cycleTable{};
    std::string m_cycleSeed;
    int16_t m_rotorCount = 0;
    int32_t m_passesPerChar = 0;
    // True once key generation has completed; messages need it, since the
    // cycle table exists only in memory.
    bool m_keysReady = false;
    // Fills for overwriting 151- and 256-byte records; empty until set-up
    // has run once, and an empty fill overwrites with spaces.
    std::string m_textWipeFill;
    std::string m_binWipeFill;
    std::function<void(const std::string&)> m_wipeObserver;
    // The key files every message reads, in the order it reads them; each
    // is one slot of m_files.
    enum MessageFile { kParamsFile, kStepsFile, kCountsFile, kCurrentFile, kReserveFile, kFiles };
    std::array<std::string, kFiles> m_messagePaths;
    fileio::FileCache m_files;
    // What the key files last gave, with the content version of each file it
    // was taken from: a message whose files all kept their versions reuses it.
    struct Prepared {
        std::array<std::uint64_t, kFiles> versions{}; // 0: not taken from the file
        RotorSetup setup;
        int16_t rotorCount = 0;
        bool machineReady = false;
        RotorMachine machine;
        bool restoreNeeded = false; // k1.bcr differs from k1.brs
    };
    Prepared m_prepared;
};
