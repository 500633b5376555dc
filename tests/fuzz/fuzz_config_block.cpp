// The configuration tool on any executable image: finding the block, reading it, stamping new
// values into it; and what it accepts checked against how the agent reads the same bytes.
//
// Input: [mode] [offset, 2 bytes] [address length][address] [port length][port]
//        [image length, 2 bytes][image] key text...
//   mode bit 0: the agent's own block is put into the image at `offset`; bit 1: stamp the
//   address, bit 2: stamp the port; bits 3-5 pick the new key: 0 none, 1 the key text above,
//   2-7 a fixture key of another form (PKCS#1, certificate, private key, 2048 bits, ...);
//   bit 6: the agent's own block is damaged instead: the address, port and key text above go
//   into its fields as raw bytes (a field filled to its width has no NUL), and the agent reads
//   them as it does at start-up and at every connect.
#include "crypto/field_crypto.h"
#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "app/support_log.h"
#include "core/agent_state.h"
#include "core/text.h"
#include "session/engine.h"
#include "session/frames.h"
#include "tests/fake/fake_platform.h"
#include "tests/fuzz/fuzz_tools.h"
#include "tools/vorna_config/config_block.h"
#include "tools/vorna_config/config_key.h"

using fuzz::Require;

namespace {

const char* const kKeyFixtures[] = {
    "test_key_1024.pub.pem",           "test_key_2048.pub.pem", "test_key_1024.pem",
    "tools/rsa_1024_pkcs1_public.pem", "tools/cert_1024.pem",   "tools/rsa_512_public.pem",
};

std::string KeyFixture(uint8_t which) {
    std::string name = kKeyFixtures[which % 6];
    // The tools' own fixtures sit next to the shared ones.
    if (name.compare(0, 6, "tools/") == 0) {
        return fuzz::FixtureText(("../tools/fixtures/" + name.substr(6)).c_str());
    }
    return fuzz::FixtureText(name.c_str());
}

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return used_ < size_ ? data_[used_++] : 0; }
    size_t U16() { return Byte() | (Byte() << 8); }
    std::string Bytes(size_t count) {
        size_t n = count < size_ - used_ ? count : size_ - used_;
        std::string out(reinterpret_cast<const char*>(data_ + used_), n);
        used_ += n;
        return out;
    }
    std::string Rest() { return Bytes(size_ - used_); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

bool HasNul(const std::string& image, size_t offset, size_t width) {
    return memchr(image.data() + offset, '\0', width) != nullptr;
}

// The agent loads the key text the tool accepted, with a block of the key's size.
void CheckAgentLoads(const BlockKey& key) {
    gAgent.serverKey = nullptr;
    Require(LoadServerKey(key.pem.c_str()), "the agent loads a key the tool accepts");
    Require(gAgent.blockSize * 8 == key.bits, "the agent's block size is the key's");
    FreeFieldKey(gAgent.serverKey);
    gAgent.serverKey = nullptr;
}

void CheckKeyConversion(const std::string& anyPem, std::string* blockPem) {
    BlockKey key;
    std::string error;
    if (!BlockKeyFromPem(anyPem, &key, &error)) return;
    Require(key.bits >= 1024 && key.pem.size() <= MaxKeyChars(), "an accepted key fits");
    BlockKey again;
    Require(CheckBlockKey(key.pem, &again, &error), "the block form checks: " + error);
    Require(again.fingerprint == key.fingerprint && again.pem == key.pem,
            "the block form is the same key");
    CheckAgentLoads(key);
    *blockPem = key.pem;
}

void CheckValueChecks(const std::string& address, const std::string& port) {
    std::string canonical, error;
    if (CheckPort(port, &canonical, &error)) {
        Require(atoi(canonical.c_str()) >= 1 && atoi(canonical.c_str()) <= 65535 &&
                    std::to_string(atoi(canonical.c_str())) == canonical,
                "an accepted port reads back with the agent's atoi");
    }
    if (CheckAddress(address, &error)) {
        Require(address.size() <= 30 &&
                    (inet_addr(address.c_str()) != INADDR_NONE || address == "255.255.255.255"),
                "an accepted address is one the agent's inet_addr takes");
    }
}

// Fills a field of the agent's block with `bytes`, cut to its width; no NUL when they fill it.
void FillField(char* field, size_t width, const std::string& bytes) {
    memset(field, 0, width);
    bytes.copy(field, width);  // deliberately without a NUL when the bytes fill the field
}

// The agent on a damaged block of its own: the key text loads or is refused, and the start line
// and the connection show each field only up to its NUL and within its width.
void CheckAgentReadsDamagedBlock(const std::string& address, const std::string& port,
                                 const std::string& keyText) {
    const ConfigBlock intact = gConfig;
    fake::Reset();  // loads the intact key once, before the block is damaged
    FillField(gConfig.serverAddress, kAddressSize, address);
    FillField(gConfig.serverPort, kPortSize, port);
    FillField(gConfig.serverKeyPem, kKeySize, keyText);

    FieldKey* const fakeKey = gAgent.serverKey;
    const int fakeBlockSize = gAgent.blockSize;
    gAgent.serverKey = nullptr;
    if (LoadServerKey(gConfig.serverKeyPem)) {
        Require(gAgent.serverKey != nullptr && gAgent.blockSize == FieldKeyBytes(gAgent.serverKey),
                "a damaged key text that loads gives its own block size");
        FreeFieldKey(gAgent.serverKey);
    } else {
        Require(gAgent.serverKey == nullptr, "a refused key text leaves no key");
    }
    gAgent.serverKey = fakeKey;
    gAgent.blockSize = fakeBlockSize;

    const std::string shownAddress(gConfig.serverAddress,
                                   strnlen(gConfig.serverAddress, kAddressSize - 1));
    const std::string shownPort(gConfig.serverPort, strnlen(gConfig.serverPort, kPortSize));
    fake::world.debug.clear();
    PrintStartLines();
    const std::string line = "Сервер: " + shownAddress + ", порт " + shownPort;
    char expected[4 * 1024];
    EscapeControls(expected, sizeof expected, line.c_str());
    Require(fake::world.debug.size() == 3 && fake::world.debug[1] == expected,
            "the start line shows the server as the agent connects to it");

    OpenConnection();
    Require(fake::world.sockets.size() == 1, "one connection is opened");
    const fake::FakeSocket& socket = fake::world.sockets.begin()->second;
    Require(socket.connectAddress == shownAddress, "the address is read up to its NUL");
    Require(socket.connectPort == atoi(shownPort.c_str()), "the port is read through atoi");
    gConfig = intact;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    uint8_t mode = in.Byte();
    size_t offset = in.U16();
    std::string address = in.Bytes(in.Byte());
    std::string port = in.Bytes(in.Byte());
    std::string image = in.Bytes(in.U16());
    std::string keyText = in.Rest();
    CheckValueChecks(address, port);
    if (mode & 64) {
        CheckAgentReadsDamagedBlock(address, port, keyText);
        return 0;
    }

    bool embedded = (mode & 1) != 0;
    if (embedded) {
        offset %= image.size() + 1;
        image.insert(offset, reinterpret_cast<const char*>(&gConfig), sizeof gConfig);
    }
    StampChanges changes;
    if (mode & 2) changes.address = address;
    if (mode & 4) changes.port = port;
    uint8_t keySource = (mode >> 3) & 7;
    if (keySource == 1) changes.keyPem = keyText;
    if (keySource >= 2) {
        std::string blockPem;
        CheckKeyConversion(KeyFixture(keySource - 2), &blockPem);
        if (!blockPem.empty()) changes.keyPem = blockPem;
    }

    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(image.data());
    ConfigLayout layout;
    std::string error;
    bool found = FindConfigBlock(bytes, image.size(), &layout, &error);
    if (embedded) {
        Require(found || error.find("more than once") != std::string::npos,
                "the agent's block is found unless a marker repeats: " + error);
    }
    if (!found) {
        std::string before = image;
        Require(!StampConfig(&image, changes, &error) && image == before,
                "nothing is stamped without a block");
        return 0;
    }
    Require(layout.key + kKeySize + kEndMarkerSize <= image.size(), "the block lies in the image");
    Require(memcmp(bytes + layout.address - kAddrMarkerSize, "vorna_zep_addr", 15) == 0 &&
                memcmp(bytes + layout.port - kPortMarkerSize, "vorna_zep_port", 15) == 0 &&
                memcmp(bytes + layout.key - kKeyMarkerSize, "vorna_zep_key", 14) == 0,
            "each field follows its marker");
    ConfigFields fields = ReadConfigFields(bytes, layout);
    Require(fields.address.size() <= kAddressSize && fields.port.size() <= kPortSize &&
                fields.keyPem.size() <= kKeySize,
            "fields are read within their widths");
    if (embedded && layout.address == offset + kAddrMarkerSize) {
        Require(fields.address == gConfig.serverAddress && fields.port == gConfig.serverPort &&
                    fields.keyPem == gConfig.serverKeyPem,
                "the agent's block reads as the agent holds it");
    }

    std::string before = image;
    bool stamped = StampConfig(&image, changes, &error);
    Require(image.size() == before.size(), "stamping keeps the image's size");
    if (!stamped) {
        Require(image == before && !error.empty(), "a refused stamp changes nothing and says why");
        return 0;
    }
    for (size_t i = 0; i < image.size(); i++) {
        bool inField = (i >= layout.address && i < layout.address + kAddressSize) ||
                       (i >= layout.port && i < layout.port + kPortSize) ||
                       (i >= layout.key && i < layout.key + kKeySize);
        if (!inField) Require(image[i] == before[i], "only the three fields change");
    }
    Require(HasNul(image, layout.address, kAddressSize) && HasNul(image, layout.port, kPortSize) &&
                HasNul(image, layout.key, kKeySize),
            "every stamped field keeps a terminating NUL for the agent");
    ConfigFields after = ReadConfigFields(reinterpret_cast<const uint8_t*>(image.data()), layout);
    if (changes.address) Require(after.address == *changes.address, "the new address is there");
    if (changes.keyPem) Require(after.keyPem == *changes.keyPem, "the new key is there");
    std::string canonical;
    Require(CheckPort(after.port, &canonical, &error) && canonical == after.port &&
                CheckAddress(after.address, &error),
            "a stamped block holds a valid address and port");
    return 0;
}
