// Records the fuzzer's seed corpus: provider sessions against the simulated
// card, each written as the fuzz input that replays it (the caller's choices
// of a script, the card's answers as the simulator gave them). Every
// recorded input is then replayed through the fuzzer's own source, so a seed
// that would fail a check is never written.
//
//   vemra-record-seeds DIRECTORY
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "cardsim/card.h"
#include "fuzz/input_source.h"
#include "vemradrv/minidriver.h"

namespace vemra::fuzz {
namespace {

// The caller's side of a session, written in the encoding of session.h.
class Script {
 public:
  Script& byte(std::uint8_t b) {
    bytes.push_back(b);
    return *this;
  }
  Script& word(std::uint32_t value) {
    if (value < 0x80) return byte(static_cast<std::uint8_t>(value));
    for (std::size_t i = 0; i < std::size(kInterestingWords); ++i) {
      if (kInterestingWords[i] == value) return byte(static_cast<std::uint8_t>(0x80 + i));
    }
    byte(0xFF);
    for (int i = 0; i < 4; ++i) byte(static_cast<std::uint8_t>(value >> (8 * i)));
    return *this;
  }
  Script& ansi(const char* name) {
    for (std::size_t i = 1; i < std::size(kAnsiNames); ++i) {
      if (name != nullptr && std::string(kAnsiNames[i]) == name) return byte(static_cast<std::uint8_t>(i));
    }
    if (name == nullptr) return byte(kNullName);
    const std::string text(name);
    byte(static_cast<std::uint8_t>(16 + text.size()));
    for (char ch : text) byte(static_cast<std::uint8_t>(ch));
    return *this;
  }
  Script& wide(const char16_t* name) {
    for (std::size_t i = 1; i < std::size(kWideNames); ++i) {
      if (name != nullptr && std::u16string(kWideNames[i]) == name) return byte(static_cast<std::uint8_t>(i));
    }
    if (name == nullptr) return byte(kNullName);
    const std::u16string text(name);
    byte(static_cast<std::uint8_t>(48 + text.size()));
    for (char16_t ch : text) byte(static_cast<std::uint8_t>(ch));
    return *this;
  }
  Script& input(const std::string& content) {
    byte(kBuffer).byte(static_cast<std::uint8_t>(content.size())).byte(static_cast<std::uint8_t>(content.size() >> 8));
    for (char ch : content) byte(static_cast<std::uint8_t>(ch));
    return *this;
  }
  Script& output(std::uint16_t length) {
    return byte(kBuffer).byte(static_cast<std::uint8_t>(length)).byte(static_cast<std::uint8_t>(length >> 8));
  }
  Script& out() { return byte(0); }  // an out-parameter present
  Script& op(Operation operation) { return byte(operation); }

  // The header of session.h: version, flags, no planned failure unless asked.
  static Script session(unsigned calls, std::uint32_t version = 7, std::uint8_t failAllocation = 0,
                        std::uint8_t failBegin = 0, std::uint8_t failEnd = 0) {
    Script s;
    s.word(version).word(0).byte(failAllocation).byte(failBegin).byte(failEnd).byte(0).byte(0).byte(
        static_cast<std::uint8_t>(calls - 1));
    return s;
  }

  // Calls in the argument order of session.cpp.
  Script& login(const std::string& pin = "1234") { return op(kAuthenticatePin).wide(u"user").input(pin).out(); }
  Script& createDirectory(const char* name, std::uint32_t condition) {
    return op(kCreateDirectory).ansi(name).word(condition);
  }
  Script& createFile(const char* dir, const char* name, std::uint32_t size, std::uint32_t condition) {
    return op(kCreateFile).ansi(dir).ansi(name).word(size).word(condition);
  }
  Script& writeFile(const char* dir, const char* name, const std::string& content) {
    return op(kWriteFile).ansi(dir).ansi(name).word(0).input(content);
  }
  Script& readFile(const char* dir, const char* name) {
    return op(kReadFile).ansi(dir).ansi(name).word(0).out().out();
  }
  Script& deleteFile(const char* dir, const char* name) { return op(kDeleteFile).ansi(dir).ansi(name).word(0); }
  Script& deleteDirectory(const char* name) { return op(kDeleteDirectory).ansi(name); }
  Script& enumFiles(const char* dir) { return op(kEnumFiles).ansi(dir).out().out().word(0); }
  Script& fileInfo(const char* dir, const char* name) {
    return op(kGetFileInfo).ansi(dir).ansi(name).word(1).out();
  }
  Script& property(Operation operation, const char16_t* name, std::uint16_t length, std::uint32_t flags,
                   const char16_t* algorithm = nullptr) {
    return op(operation).byte(0).word(0).wide(algorithm).wide(name).output(length).out().word(flags);
  }

  std::vector<std::uint8_t> bytes;
};

// Plays the caller from a script and the card from the simulator, and
// writes both down as a fuzz input.
class RecordingSource : public Source {
 public:
  explicit RecordingSource(const Script& script) : script_(script.bytes) {}

  std::uint8_t choice() override {
    const std::uint8_t b = next_ < script_.size() ? script_[next_++] : 0;
    recorded.push_back(b);
    return b;
  }

  Answer answer(std::span<const std::uint8_t> command, std::size_t) override {
    Answer answer;
    answer.bytes = card_.transmit(command);
    while (answer.bytes.size() < 2) answer.bytes.push_back(0);
    const std::size_t data = answer.bytes.size() - 2;
    if (data <= kShortAnswerMax) {
      recorded.push_back(static_cast<std::uint8_t>(data));
    } else {
      recorded.push_back(kLongAnswer);
      recorded.push_back(static_cast<std::uint8_t>(data));
      recorded.push_back(static_cast<std::uint8_t>(data >> 8));
    }
    recorded.insert(recorded.end(), answer.bytes.begin(), answer.bytes.end());
    return answer;
  }

  std::vector<std::uint8_t> recorded;

 private:
  std::vector<std::uint8_t> script_;
  std::size_t next_ = 0;
  cardsim::Card card_;
};

std::vector<Script> sessions() {
  std::vector<Script> all;
  const std::string content(300, 'c');
  all.push_back(Script::session(4).login().createDirectory("dir", UserCreateDeleteDirAc)
                    .createFile("dir", "file", 20, EveryoneReadUserWriteAc).writeFile("dir", "file", content));
  all.push_back(Script::session(4).login().createFile(nullptr, "file", 0, UserReadWriteAc)
                    .writeFile(nullptr, "file", "short").readFile(nullptr, "file"));
  all.push_back(Script::session(4).login().createFile(nullptr, "file", 8, UnknownAc).fileInfo(nullptr, "file")
                    .deleteFile(nullptr, "file"));
  all.push_back(Script::session(3).login().createDirectory("dir", AdminCreateDeleteDirAc)
                    .createFile("dir", "file", 8, AdminReadWriteAc));
  all.push_back(Script::session(4).login().createFile(nullptr, "file", 8, EveryoneReadAdminWriteAc)
                    .fileInfo(nullptr, "file").op(kDeauthenticate).wide(u"user").word(0).deleteFile(nullptr, "file"));
  all.push_back(Script::session(4).login().createDirectory("dir", UserCreateDeleteDirAc).enumFiles("dir")
                    .deleteDirectory("dir"));
  all.push_back(Script::session(4).readFile(nullptr, "cardid").enumFiles(nullptr).fileInfo(nullptr, "cardid")
                    .op(kQueryFreeSpace).word(0).word(1).out());
  all.push_back(Script::session(4, 4).op(kQueryCapabilities).word(1).out()
                    .readFile(nullptr, "cardcf").op(kQueryKeySizes).word(AT_KEYEXCHANGE).word(0).word(1).out()
                    .fileInfo(nullptr, "cardcf"));
  // Authentication: a wrong PIN, the right one, a session PIN, a logout.
  all.push_back(Script::session(4).login("9999").login()
                    .op(kAuthenticateEx).word(ROLE_USER).word(CARD_AUTHENTICATE_GENERATE_SESSION_PIN).input("1234")
                    .out().out().out()
                    .op(kDeauthenticateEx).word(0x0E).word(0));
  all.push_back(Script::session(3).op(kGetChallenge).out().out().word(0).word(0)
                    .op(kAuthenticateChallenge).input("12345678").out()
                    .op(kGetChallengeEx).out().out().word(ROLE_ADMIN).word(0));
  all.push_back(Script::session(3).login()
                    .op(kChangeAuthenticator).wide(u"user").input("1234").input("5678").word(0)
                    .word(CARD_AUTHENTICATE_PIN_PIN).out()
                    .op(kChangeAuthenticatorEx).word(PIN_CHANGE_FLAG_CHANGEPIN).word(ROLE_USER).input("5678")
                    .word(ROLE_USER).input("1234").word(0).out());
  all.push_back(Script::session(2).op(kUnblockPin).wide(u"user").input("12345678").input("4321").word(0)
                    .word(CARD_AUTHENTICATE_PIN_CHALLENGE_RESPONSE)
                    .op(kDeauthenticate).wide(u"user").word(0));
  // Properties and the key entry points, through their slots.
  all.push_back(Script::session(4).property(kGetProperty, u"Free Space", 16, 0)
                    .property(kGetProperty, u"Card Identifier", 16, 0)
                    .property(kGetProperty, u"Card Serial Number", 7, 0)
                    .property(kGetProperty, u"Authenticated State", 4, 0));
  all.push_back(Script::session(4).property(kGetProperty, u"PIN Information", 36, ROLE_USER)
                    .property(kGetContainerProperty, u"Container Info", 48, 0)
                    .property(kGetAlgorithmProperty, u"Key Sizes", 20, 0, u"3DES_112")
                    .op(kSetProperty).byte(0).word(0).wide(u"Card Identifier").input("0123456789abcdef").word(0));
  all.push_back(Script::session(4).op(kGetContainerInfo).byte(0).word(0).word(1).out()
                    .op(kSignData).word(1).byte(0).word(AT_SIGNATURE).word(0).word(CALG_SHA_256)
                    .input(std::string(32, 'h')).wide(nullptr).byte(1).word(0).out()
                    .op(kRSADecrypt).word(1).byte(0).word(AT_KEYEXCHANGE).output(256).wide(nullptr).byte(1).word(0).out()
                    .op(kQueryKeySizes).word(AT_SIGNATURE).word(0).word(1).out());
  all.push_back(Script::session(4).login()
                    .op(kCreateContainer).byte(0).word(CARD_CREATE_CONTAINER_KEY_GEN).word(AT_KEYEXCHANGE).word(2048)
                    .byte(kNullBuffer).word(0)
                    .op(kCreateContainerEx).byte(1).word(CARD_CREATE_CONTAINER_KEY_GEN).word(AT_SIGNATURE).word(1024)
                    .byte(kNullBuffer).word(ROLE_USER)
                    .op(kDeleteContainer).byte(1).word(0));
  all.push_back(Script::session(4).op(kMDImportSessionKey).byte(0).wide(u"KeyDataBlob").wide(u"AES").out()
                    .input(std::string(32, 'k')).word(0)
                    .op(kGetSharedKeyHandle).input(std::string(16, 's')).out().out().out()
                    .op(kProcessEncryptedData).word(1).wide(u"ChainingModeCBC").byte(1).input(std::string(16, 'e'))
                    .output(64).out().word(0)
                    .op(kDestroyKey).word(1));
  // Failures of the provider and of the PC/SC layer.
  all.push_back(Script::session(2, 7, 2).readFile(nullptr, "cardid").enumFiles(nullptr));
  all.push_back(Script::session(2, 7, 0, 7).login().readFile(nullptr, "cardid"));
  all.push_back(Script::session(2, 7, 0, 0, 8).login().createDirectory("dir", UserCreateDeleteDirAc));
  return all;
}

}  // namespace
}  // namespace vemra::fuzz

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  int written = 0;
  for (const auto& script : vemra::fuzz::sessions()) {
    vemra::fuzz::RecordingSource recording(script);
    vemra::fuzz::runSession(recording);
    vemra::fuzz::InputSource replay(recording.recorded);
    vemra::fuzz::runSession(replay);
    const std::string path = std::string(argv[1]) + "/session-" + std::to_string(++written);
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(recording.recorded.data()),
               static_cast<std::streamsize>(recording.recorded.size()));
    if (!file) {
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return 1;
    }
  }
  std::printf("%d sessions recorded in %s\n", written, argv[1]);
  return 0;
}
