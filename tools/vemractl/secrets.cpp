#include "secrets.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "error.h"

namespace vemra::ctl {

using host::Error;

Secret& Secret::operator=(Secret&& other) noexcept {
  if (this != &other) {
    wipe();
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
  }
  return *this;
}

void Secret::wipe() {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  bytes_.clear();
}

void wipeString(std::string& text) {
  if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

namespace {

// Reads one line from the terminal with echo off.
std::string promptWithoutEcho(const std::string& prompt) {
  const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
  if (tty < 0) return {};
  termios saved{};
  const bool isTerminal = ::tcgetattr(tty, &saved) == 0;
  if (isTerminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(tty, TCSAFLUSH, &quiet);
  }
  [[maybe_unused]] ssize_t written = ::write(tty, prompt.data(), prompt.size());
  // Room for the longest line taken, so that no copy of it is left behind
  // by the string growing.
  constexpr std::size_t kLongest = 256;
  std::string line;
  line.reserve(kLongest);
  char c = 0;
  while (::read(tty, &c, 1) == 1 && c != '\n' && line.size() < kLongest) line += c;
  c = 0;
  if (isTerminal) ::tcsetattr(tty, TCSAFLUSH, &saved);
  written = ::write(tty, "\n", 1);
  ::close(tty);
  return line;
}

std::string firstSource(const std::string& given, const char* env, const std::string& prompt, bool& fromPrompt) {
  fromPrompt = false;
  if (!given.empty()) return given;
  if (const char* value = std::getenv(env); value != nullptr && *value != '\0') return value;
  fromPrompt = true;
  return promptWithoutEcho(prompt);
}

}  // namespace

Secret obtainPin(const std::string& given, const char* env, const std::string& prompt) {
  bool fromPrompt = false;
  std::string text = firstSource(given, env, prompt, fromPrompt);
  if (text.empty()) {
    throw Error(std::string("no PIN given: use --pin, the environment variable ") + env + " or a terminal");
  }
  Secret pin(std::vector<uint8_t>(text.begin(), text.end()));
  wipeString(text);
  return pin;
}

Secret obtainPassphrase(const std::string& env, const std::string& prompt) {
  std::string text;
  if (!env.empty()) {
    const char* value = std::getenv(env.c_str());
    if (value == nullptr) throw Error("the environment variable " + env + " named for the passphrase is not set");
    text = value;
  } else {
    text = promptWithoutEcho(prompt);
  }
  Secret passphrase(std::vector<uint8_t>(text.begin(), text.end()));
  wipeString(text);
  return passphrase;
}

Secret parseAdminKey(std::string text) {
  // Reserved at once (the key's 24-byte form at least), so that no copy of
  // key bytes is left behind by the vector growing; a Secret from the start,
  // so that every way out wipes it.
  std::vector<uint8_t> bytes;
  bytes.reserve(std::max<std::size_t>(text.size() / 2 + 1, 24));
  Secret key(std::move(bytes));
  std::vector<uint8_t>& out = key.bytes();
  int high = -1;
  bool bad = false;
  for (char c : text) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c == ' ' || c == ':') {
      if (high >= 0) bad = true;
      continue;
    } else {
      bad = true;
      break;
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  wipeString(text);
  if (bad || high >= 0 || (key.size() != 16 && key.size() != 24)) {
    throw Error("an administrator key is 24 bytes (or 16) in hexadecimal");
  }
  // K1 K2 stands for K1 K2 K1; the room is there already.
  if (key.size() == 16) {
    uint8_t first[8];
    std::copy(out.begin(), out.begin() + 8, first);
    out.insert(out.end(), first, first + 8);
    OPENSSL_cleanse(first, sizeof first);
  }
  return key;
}

Secret obtainAdminKey(const std::string& given, const char* env, const std::string& prompt) {
  bool fromPrompt = false;
  std::string text = firstSource(given, env, prompt, fromPrompt);
  if (text.empty()) {
    throw Error(std::string("no administrator key given: use --admin-key, the environment variable ") + env +
                " or a terminal");
  }
  return parseAdminKey(std::move(text));
}

Secret challengeResponse(const Secret& key24, const uint8_t* challenge, std::size_t length) {
  if (key24.size() != 24 || length != 8) throw Error("a challenge of 8 bytes and a 24-byte key are needed");
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::vector<uint8_t> out(16);
  int written = 0;
  int last = 0;
  const bool ok = ctx != nullptr && EVP_EncryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, key24.data(), nullptr) == 1 &&
                  EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                  EVP_EncryptUpdate(ctx, out.data(), &written, challenge, 8) == 1 &&
                  EVP_EncryptFinal_ex(ctx, out.data() + written, &last) == 1 && written + last == 8;
  EVP_CIPHER_CTX_free(ctx);
  out.resize(8);
  Secret response(std::move(out));
  if (!ok) throw Error("OpenSSL cannot compute the triple-DES response");
  return response;
}

void protectProcess() { ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0); }

}  // namespace vemra::ctl
