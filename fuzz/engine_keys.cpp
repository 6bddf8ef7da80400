// The engine's readers of untrusted text: the seed text (typed, or made from
// two address texts a peer may choose) and the key files, which a user or
// another program may have changed. Whatever they hold, the engine either
// refuses with a reason or works; when the rotor files are its own, a
// message decrypts back to itself.

#include "FuzzCheck.h"
#include "engine/SDK.h"
#include "engine/WorkFiles.h"
#include "protocol/KeySeed.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <dirent.h>
#include <iterator>
#include <string>
#include <unistd.h>

namespace {

// A folder of its own under TMPDIR, with a '/' at the end.
std::string newFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    return pattern + "/";
}

// Every working file goes, so that one input leaves nothing to the next.
void emptyFolder(const std::string& folder) {
    DIR* d = opendir(folder.c_str());
    FUZZ_CHECK(d != nullptr);
    while (const dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            unlink((folder + e->d_name).c_str());
    closedir(d);
}

constexpr const char* kFixedSeed = "1271119874";
const char* const kKeyFiles[] = {workfiles::kRotorsCurrent, workfiles::kRotorsReserve,
                                 workfiles::kCounts, workfiles::kParams, workfiles::kSteps};

// Keys made once from kFixedSeed; each input that uses them gets their files
// back as key generation wrote them (making keys is most of an input's work).
struct FixedKeys {
    std::string folder = newFolder();
    SDK sdk{folder};
    std::string original[std::size(kKeyFiles)];

    FixedKeys() {
        std::string seed = kFixedSeed;
        FUZZ_CHECK(sdk.CreateKeys(seed));
        for (size_t f = 0; f < std::size(kKeyFiles); ++f)
            FUZZ_CHECK(fileio::ReadAll(folder + kKeyFiles[f], original[f]) == 0);
    }
    SDK& restored() {
        emptyFolder(folder);
        for (size_t f = 0; f < std::size(kKeyFiles); ++f)
            FUZZ_CHECK(fileio::WriteWhole(folder + kKeyFiles[f], original[f]) == 0);
        return sdk;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FixedKeys fixed;
    static const std::string own = newFolder();
    static SDK ownSdk(own);
    FuzzedDataProvider in(data, size);

    // Keys from a seed of the input's, or the fixed ones.
    SDK* sdk = nullptr;
    std::string seed = kFixedSeed;
    if (in.ConsumeBool()) {
        // A text of its own, or the text two addresses make.
        if (in.ConsumeBool()) {
            seed = in.ConsumeRandomLengthString(96);
        } else {
            const std::string host = in.ConsumeRandomLengthString(80);
            const std::string client = in.ConsumeRandomLengthString(80);
            const Outcome<std::string> made = MakeSeedText(host, client);
            seed = made ? made.value() : std::string();
        }
        emptyFolder(own);
        const bool usable = bool(SeedTextUsable(seed));
        std::string keySeed = seed;
        const EngineResult created = ownSdk.CreateKeys(keySeed);
        // The program's check of a seed, made before it asks the engine,
        // agrees with the engine.
        FUZZ_CHECK(bool(created) == usable);
        if (created)
            sdk = &ownSdk;
        else
            FUZZ_CHECK(!created.error.empty());
    }
    if (!sdk) {
        seed = kFixedSeed;
        sdk = &fixed.restored();
    }
    const std::string folder = sdk->AppDir();
    const auto writeFile = [&folder](const char* name, const std::string& bytes) {
        FUZZ_CHECK(fileio::WriteWhole(folder + name, bytes) == 0);
    };

    // Key files as someone else may have left them.
    const int changes = in.ConsumeIntegral<uint8_t>();
    const bool rotorsChanged = changes & 0x08;
    if (changes & 0x01)
        writeFile(workfiles::kCounts, in.ConsumeRandomLengthString(64));
    if (changes & 0x02)
        writeFile(workfiles::kParams, in.ConsumeRandomLengthString(128));
    if (changes & 0x04)
        writeFile(workfiles::kSteps, in.ConsumeRandomLengthString(256));
    if (rotorsChanged) {
        const auto at = in.ConsumeIntegralInRange<uint16_t>(0, workfiles::kRotorFileSize + 8);
        const char* name = (changes & 0x10) ? workfiles::kRotorsReserve : workfiles::kRotorsCurrent;
        std::string bytes = in.ConsumeRandomLengthString(64);
        if (changes & 0x20)
            FUZZ_CHECK(fileio::WriteAt(folder + name, at, bytes) == 0);
        else
            writeFile(name, bytes.substr(0, std::min<size_t>(bytes.size(), at)));
    }

    const std::string plain = in.ConsumeRemainingBytesAsString();
    std::string text = plain;
    const EngineResult encrypted = sdk->EncryptMessage(text);
    if (!encrypted) {
        FUZZ_CHECK(!encrypted.error.empty());
        FUZZ_CHECK(text == plain); // a failure leaves the text as it was
        return 0;
    }
    FUZZ_CHECK(text.size() == plain.size());
    std::string digest;
    if (sdk->KeyCheck(digest))
        FUZZ_CHECK(digest.size() == 9);
    const EngineResult decrypted = sdk->DecryptMessage(text);
    if (rotorsChanged)
        return 0;
    // Whatever the other files say, decryption undoes encryption, unless
    // the rotors are not permutations; key generation makes those from a
    // pair of seed characters worth 0 (as every copy of the program does), and
    // then decryption refuses, saying why.
    if (decrypted) {
        FUZZ_CHECK(text == plain);
    } else {
        FUZZ_CHECK(decrypted.error.find("is not a permutation") != std::string::npos);
        bool digits = !seed.empty();
        for (const char c : seed)
            digits = digits && c >= '1' && c <= '9';
        FUZZ_CHECK(!digits);
    }
    return 0;
}
