// vemra-bench: what the driver costs on top of the card, measured through
// the real PC/SC stack (pcscd, the virtual reader, vemra-vcard with a fresh
// simulated card) with the delivered library loaded by dlopen.
//
// 1. A provider's session (acquire, login, create, a 4096-byte write that
//    moves the file, read, list, import of a 2048-bit key, a signature, a
//    decryption, the container deleted, the file deleted, logout, release):
//    per operation the APDUs, transactions, PC/SC calls and time, and the
//    commands sent.
// 2. The same session's PC/SC calls replayed straight to libpcsclite, without
//    the driver, interleaved with the driver's runs: driver ÷ replay.
// 3. Write and read time against the file size.
// 4. Heap calls made from inside the driver.
//
// With --callgrind it runs one warm-up session and one session during which
// callgrind collects only while driver code runs (scripts/run-bench.sh).
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "pcsc_recorder.h"
#include "pcsc_stack.h"
#include "support/key_blobs.h"
#include "vemradrv/minidriver.h"

namespace vemra::bench {
namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

LPVOID WINAPI providerAlloc(SIZE_T size) {
  Callback outside;
  return std::malloc(size);
}
LPVOID WINAPI providerReAlloc(LPVOID p, SIZE_T size) {
  Callback outside;
  return std::realloc(p, size);
}
void WINAPI providerFree(LPVOID p) {
  Callback outside;
  std::free(p);
}
// The provider strips the padding of a decrypted block, with OpenSSL
// checking it.
DWORD WINAPI providerUnpad(PCARD_RSA_DECRYPT_INFO info, DWORD* pcbUnpadded, PBYTE* ppbUnpadded) {
  Callback outside;
  const auto message = test::unpadBlock({info->pbData, info->cbData}, info->dwPaddingType);
  if (!message) return 0x80090005;  // NTE_BAD_DATA
  *ppbUnpadded = static_cast<PBYTE>(std::malloc(message->size() + 1));
  if (*ppbUnpadded == nullptr) return SCARD_E_NO_MEMORY;
  std::copy(message->begin(), message->end(), *ppbUnpadded);
  *pcbUnpadded = static_cast<DWORD>(message->size());
  return SCARD_S_SUCCESS;
}

struct Options {
  std::string driverPath = VEMRA_DRIVER_PATH;
  int iterations = 1000;    // session pairs
  int sizeIterations = 10;  // runs of each file size
  bool callgrind = false;
  bool verbose = false;
  bool session = true;
  bool sizes = true;
};

bool parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--iterations" && i + 1 < argc) {
      o.iterations = std::atoi(argv[++i]);
      if (o.iterations < 1) return false;
    } else if (arg == "--size-iterations" && i + 1 < argc) {
      o.sizeIterations = std::atoi(argv[++i]);
      if (o.sizeIterations < 1) return false;
    } else if (arg == "--verbose") {
      o.verbose = true;
    } else if (arg == "--driver" && i + 1 < argc) {
      o.driverPath = argv[++i];
    } else if (arg == "--callgrind") {
      o.callgrind = true;
    } else if (arg == "--sizes-only") {
      o.session = false;
    } else if (arg == "--session-only") {
      o.sizes = false;
    } else {
      return false;
    }
  }
  return true;
}

// The driver's exported entry points.
struct Driver {
  void* handle = nullptr;
  PFN_CARD_ACQUIRE_CONTEXT acquire = nullptr;
  PFN_CARD_DELETE_CONTEXT release = nullptr;
  PFN_CARD_AUTHENTICATE_PIN login = nullptr;
  PFN_CARD_DEAUTHENTICATE logout = nullptr;
  PFN_CARD_CREATE_FILE createFile = nullptr;
  PFN_CARD_WRITE_FILE writeFile = nullptr;
  PFN_CARD_READ_FILE readFile = nullptr;
  PFN_CARD_ENUM_FILES enumFiles = nullptr;
  PFN_CARD_DELETE_FILE deleteFile = nullptr;
  PFN_CARD_CREATE_CONTAINER createContainer = nullptr;
  PFN_CARD_SIGN_DATA signData = nullptr;
  PFN_CARD_RSA_DECRYPT rsaDecrypt = nullptr;
  PFN_CARD_DELETE_CONTAINER deleteContainer = nullptr;

  bool load(const std::string& path) {
    handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      std::fprintf(stderr, "vemra-bench: %s\n", ::dlerror());
      return false;
    }
    const auto resolve = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(::dlsym(handle, name));
      return slot != nullptr;
    };
    return resolve(acquire, "CardAcquireContext") && resolve(release, "CardDeleteContext") &&
           resolve(login, "CardAuthenticatePin") && resolve(logout, "CardDeauthenticate") &&
           resolve(createFile, "CardCreateFile") && resolve(writeFile, "CardWriteFile") &&
           resolve(readFile, "CardReadFile") && resolve(enumFiles, "CardEnumFiles") &&
           resolve(deleteFile, "CardDeleteFile") && resolve(createContainer, "CardCreateContainer") &&
           resolve(signData, "CardSignData") && resolve(rsaDecrypt, "CardRSADecrypt") &&
           resolve(deleteContainer, "CardDeleteContainer");
  }
};

// Calls one entry point as driver code.
template <typename F, typename... Args>
DWORD call(F entry, Args... args) {
  DriverCall inside;
  return entry(args...);
}

// One provider binding to the connected card: the CARD_DATA and what the
// steps hand to the driver.
struct Provider {
  Provider(const integration::Connection& connection) : atr(connection.atr) {
    cardData.dwVersion = 7;
    cardData.pbAtr = atr.data();
    cardData.cbAtr = static_cast<DWORD>(atr.size());
    cardData.pwszCardName = cardName.data();
    cardData.pfnCspAlloc = providerAlloc;
    cardData.pfnCspReAlloc = providerReAlloc;
    cardData.pfnCspFree = providerFree;
    cardData.pfnCspUnpadData = providerUnpad;
    cardData.hSCardCtx = connection.context;
    cardData.hScard = connection.card;
  }
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  Bytes atr;
  std::u16string cardName = u"Vemra simulated card";
  std::u16string user = u"user";
  char pin[5] = "1234";
  char fileName[6] = "bench";
  CARD_DATA cardData{};
};

struct Step {
  const char* name;
  std::function<DWORD()> run;
};

Bytes pattern(std::size_t size) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
  return data;
}

// What a read that returns other bytes than were written reports.
constexpr DWORD kContentDiffers = 0xFFFFFFFF;

// Reads the file back and compares it with `expected`.
DWORD readAndCompare(const Driver& d, Provider& p, const Bytes& expected) {
  PBYTE content = nullptr;
  DWORD length = 0;
  const DWORD rc = call(d.readFile, &p.cardData, nullptr, p.fileName, DWORD{0}, &content, &length);
  if (rc != SCARD_S_SUCCESS) return rc;
  const bool same = length == expected.size() && std::memcmp(content, expected.data(), length) == 0;
  providerFree(content);
  if (!same) std::fprintf(stderr, "vemra-bench: the file read back differs from what was written\n");
  return same ? rc : kContentDiffers;
}

// What the key steps hand to the driver, made once before any step runs: a
// 2048-bit key pair with its PRIVATEKEYBLOB, a SHA-256 hash to sign and a
// PKCS #1 v1.5 block encrypted to the key.
struct KeyMaterial {
  test::RsaKeyPair key = test::RsaKeyPair::generate(2048);
  Bytes blob = key.privateKeyBlob(CALG_RSA_KEYX);
  Bytes hash = test::digestOf(EVP_sha256(), pattern(100));
  Bytes secret = pattern(32);  // a session key, as a provider would unwrap
  Bytes cipher = key.encrypt(secret, RSA_PKCS1_PADDING);
  Bytes block = cipher;        // decrypted in place, so refilled before each run
  Bytes signature;             // the first signature, once OpenSSL verified it
  std::u16string hashName = u"SHA256";
};

// The container the key goes into.
constexpr BYTE kContainer = 0;

// Whether the signature the driver handed out is right: the first one is
// verified with OpenSSL, every later one must equal it (PKCS #1 v1.5
// signatures are deterministic), so that the timed runs pay no verification.
bool signatureIsRight(KeyMaterial& m, std::span<const std::uint8_t> signature) {
  if (!m.signature.empty()) return std::equal(signature.begin(), signature.end(), m.signature.begin(), m.signature.end());
  if (!m.key.verifies(EVP_sha256(), m.hash, signature)) return false;
  m.signature.assign(signature.begin(), signature.end());
  return true;
}

// A provider's use of a key: the key imported into a container, a SHA-256
// hash signed and a PKCS #1 v1.5 block decrypted with it, the container
// deleted, so that the card ends the session as it started it. The key is a
// key-exchange key, which both signs and decrypts.
void addKeySteps(const Driver& d, Provider& p, std::vector<Step>& steps) {
  const auto m = std::make_shared<KeyMaterial>();
  steps.push_back({"CardCreateContainer (import, 2048 bits)", [&d, &p, m] {
                     return call(d.createContainer, &p.cardData, kContainer, DWORD{CARD_CREATE_CONTAINER_KEY_IMPORT},
                                 DWORD{AT_KEYEXCHANGE}, DWORD{2048}, m->blob.data());
                   }});
  steps.push_back({"CardSignData (SHA-256)", [&d, &p, m] {
                     BCRYPT_PKCS1_PADDING_INFO padding{m->hashName.data()};
                     CARD_SIGNING_INFO info{2,       kContainer, AT_KEYEXCHANGE, CARD_PADDING_INFO_PRESENT, 0,
                                            m->hash.data(), static_cast<DWORD>(m->hash.size()), nullptr, 0,
                                            &padding, CARD_PADDING_PKCS1};
                     const DWORD rc = call(d.signData, &p.cardData, &info);
                     if (rc != SCARD_S_SUCCESS) return rc;
                     const bool right = signatureIsRight(*m, {info.pbSignedData, info.cbSignedData});
                     providerFree(info.pbSignedData);
                     if (!right) std::fprintf(stderr, "vemra-bench: the card's signature does not verify\n");
                     return right ? rc : kContentDiffers;
                   }});
  steps.push_back({"CardRSADecrypt (PKCS #1 v1.5)", [&d, &p, m] {
                     std::copy(m->cipher.begin(), m->cipher.end(), m->block.begin());
                     CARD_RSA_DECRYPT_INFO info{2, kContainer, AT_KEYEXCHANGE, m->block.data(),
                                                static_cast<DWORD>(m->block.size()), nullptr, CARD_PADDING_PKCS1};
                     const DWORD rc = call(d.rsaDecrypt, &p.cardData, &info);
                     if (rc != SCARD_S_SUCCESS) return rc;
                     const bool right = info.cbData == m->secret.size() &&
                                        std::equal(m->secret.begin(), m->secret.end(), m->block.begin());
                     if (!right) std::fprintf(stderr, "vemra-bench: the decrypted block is not what was encrypted\n");
                     return right ? rc : kContentDiffers;
                   }});
  steps.push_back({"CardDeleteContainer", [&d, &p] {
                     return call(d.deleteContainer, &p.cardData, kContainer, DWORD{0});
                   }});
}

// The session: a user keeps a 4096-byte file on the card.
std::vector<Step> sessionSteps(const Driver& d, Provider& p, const Bytes& content) {
  std::vector<Step> steps;
  steps.push_back({"CardAcquireContext", [&] { return call(d.acquire, &p.cardData, DWORD{0}); }});
  steps.push_back({"CardAuthenticatePin", [&] {
                     DWORD tries = 0;
                     return call(d.login, &p.cardData, p.user.data(), reinterpret_cast<PBYTE>(p.pin), DWORD{4},
                                 &tries);
                   }});
  steps.push_back({"CardCreateFile (16 bytes)", [&] {
                     return call(d.createFile, &p.cardData, LPSTR{nullptr}, p.fileName, DWORD{16},
                                 EveryoneReadUserWriteAc);
                   }});
  steps.push_back({"CardWriteFile (4096 bytes, moves)", [&] {
                     return call(d.writeFile, &p.cardData, LPSTR{nullptr}, p.fileName, DWORD{0},
                                 const_cast<PBYTE>(content.data()), static_cast<DWORD>(content.size()));
                   }});
  steps.push_back({"CardReadFile", [&] { return readAndCompare(d, p, content); }});
  steps.push_back({"CardEnumFiles", [&] {
                     LPSTR names = nullptr;
                     DWORD length = 0;
                     const DWORD rc = call(d.enumFiles, &p.cardData, LPSTR{nullptr}, &names, &length, DWORD{0});
                     if (rc == SCARD_S_SUCCESS) providerFree(names);
                     return rc;
                   }});
  addKeySteps(d, p, steps);
  steps.push_back({"CardDeleteFile", [&] {
                     return call(d.deleteFile, &p.cardData, LPSTR{nullptr}, p.fileName, DWORD{0});
                   }});
  steps.push_back({"CardDeauthenticate", [&] { return call(d.logout, &p.cardData, p.user.data(), DWORD{0}); }});
  steps.push_back({"CardDeleteContext", [&] { return call(d.release, &p.cardData); }});
  return steps;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const double at = q * static_cast<double>(values.size() - 1);
  const auto low = static_cast<std::size_t>(at);
  const std::size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

const char* commandName(std::uint8_t cla, std::uint8_t ins) {
  const bool proprietary = (cla & 0x80) != 0;
  switch (ins) {
    case 0x20: return "VERIFY";
    case 0x22: return "MSE";
    case 0x24: return "CHANGE REFERENCE DATA";
    case 0x2A: return "PSO";
    case 0x2C: return "RESET RETRY COUNTER";
    case 0x40: return proprietary ? "DEAUTHENTICATE" : "?";
    case 0x44: return "ACTIVATE FILE";
    case 0x46: return proprietary ? "READ PUBLIC KEY" : "?";
    case 0x72: return proprietary ? "LOAD KEY / SET PIN" : "?";
    case 0x74: return proprietary ? "SESSION PIN" : "?";
    case 0x82: return "EXTERNAL AUTHENTICATE";
    case 0x84: return "GET CHALLENGE";
    case 0xA4: return "SELECT";
    case 0xB0: return "READ BINARY";
    case 0xB2: return "READ RECORD";
    case 0xC0: return "GET RESPONSE";
    case 0xCA: return "GET DATA";
    case 0xD6: return "UPDATE BINARY";
    case 0xDC: return "UPDATE RECORD";
    case 0xE0: return "CREATE FILE";
    case 0xE2: return "APPEND RECORD";
    case 0xE4: return "DELETE FILE";
    case 0xFE: return proprietary ? "SERIAL NUMBER" : "?";
    default: return "?";
  }
}

// The commands of one operation, runs of the same command counted:
// "SELECT ×2, READ BINARY ×3".
std::string commandList(const std::vector<PcscCall>& calls) {
  std::string out;
  const char* last = nullptr;
  int run = 0;
  const auto flush = [&] {
    if (last == nullptr) return;
    if (!out.empty()) out += ", ";
    out += last;
    if (run > 1) out += " \u00d7" + std::to_string(run);
  };
  for (const PcscCall& c : calls) {
    if (c.kind != PcscCall::Kind::Transmit || c.command.size() < 4) continue;
    const char* name = commandName(c.command[0], c.command[1]);
    if (last != nullptr && std::strcmp(name, last) == 0) {
      ++run;
      continue;
    }
    flush();
    last = name;
    run = 1;
  }
  flush();
  return out.empty() ? "(none)" : out;
}

// Runs the steps once; fills per-step times (seconds) and, with sinks, the
// PC/SC calls. Returns false, having said why, when a step fails.
bool runSteps(std::vector<Step>& steps, std::vector<double>* times, std::vector<PcscCounts>* counts,
              std::vector<std::vector<PcscCall>>* sinks) {
  for (std::size_t s = 0; s < steps.size(); ++s) {
    beginOperation(sinks != nullptr ? &(*sinks)[s] : nullptr);
    const auto start = Clock::now();
    const DWORD rc = steps[s].run();
    const auto stop = Clock::now();
    const PcscCounts c = endOperation();
    if (rc != SCARD_S_SUCCESS) {
      std::fprintf(stderr, "vemra-bench: %s failed with 0x%08X\n", steps[s].name, static_cast<unsigned>(rc));
      return false;
    }
    if (times != nullptr) (*times)[s] = seconds(stop - start);
    if (counts != nullptr) (*counts)[s] = c;
  }
  return true;
}

int runSession(const Driver& d, const integration::Connection& connection, int iterations, bool verbose) {
  Provider provider(connection);
  const Bytes content = pattern(4096);
  std::vector<Step> steps = sessionSteps(d, provider, content);
  const std::size_t n = steps.size();

  // The recording run, which also warms caches and resolves symbols.
  std::vector<std::vector<PcscCall>> recorded(n);
  std::vector<PcscCounts> counts(n);
  if (!runSteps(steps, nullptr, &counts, &recorded)) return 1;

  std::vector<std::vector<double>> stepTimes(n, std::vector<double>(iterations));
  std::vector<double> driverTotals, replayTotals, ratios;
  std::size_t differences = 0;
  std::vector<double> times(n);
  std::vector<PcscCounts> again(n);
  const auto replaySession = [&] {
    const auto start = Clock::now();
    for (const auto& calls : recorded) differences += replay(calls);
    return seconds(Clock::now() - start);
  };
  for (int i = 0; i < iterations; ++i) {
    // The two halves of a pair take turns going first, so that neither
    // profits from what the other leaves behind.
    double replayTotal = i % 2 == 1 ? replaySession() : 0;
    if (!runSteps(steps, &times, &again, nullptr)) return 1;
    if (i % 2 == 0) replayTotal = replaySession();
    for (std::size_t s = 0; s < n; ++s) {
      stepTimes[s][i] = times[s];
      if (again[s].calls != counts[s].calls) {
        std::fprintf(stderr, "vemra-bench: %s made %zu PC/SC calls, first %zu\n", steps[s].name, again[s].calls,
                     counts[s].calls);
        return 1;
      }
    }
    double driverTotal = 0;
    for (double t : times) driverTotal += t;
    driverTotals.push_back(driverTotal);
    replayTotals.push_back(replayTotal);
    ratios.push_back(driverTotal / replayTotal);
    if (verbose) std::printf("pair %d: driver %.3f ms, replay %.3f ms\n", i, driverTotal * 1e3, replayTotal * 1e3);
  }

  std::printf("Session through pcscd (median of %d runs)\n\n", iterations);
  std::printf("| operation | APDUs | transactions | PC/SC calls | time (ms) |\n|---|---:|---:|---:|---:|\n");
  PcscCounts total;
  for (std::size_t s = 0; s < n; ++s) {
    std::printf("| %s | %zu | %zu | %zu | %.3f |\n", steps[s].name, counts[s].transmits, counts[s].transactions,
                counts[s].calls, median(stepTimes[s]) * 1e3);
    total.transmits += counts[s].transmits;
    total.transactions += counts[s].transactions;
    total.calls += counts[s].calls;
  }
  std::printf("| session | %zu | %zu | %zu | %.3f |\n\n", total.transmits, total.transactions, total.calls,
              median(driverTotals) * 1e3);
  std::printf("Commands per operation\n\n| operation | commands |\n|---|---|\n");
  for (std::size_t s = 0; s < n; ++s) std::printf("| %s | %s |\n", steps[s].name, commandList(recorded[s]).c_str());
  std::printf("\nDriver \u00f7 replay of its own PC/SC calls, %d interleaved pairs\n", iterations);
  std::printf("  session: driver %.3f ms, replay %.3f ms (medians)\n", median(driverTotals) * 1e3,
              median(replayTotals) * 1e3);
  std::printf("  ratio: median %.4f, quartiles %.4f\u2013%.4f, range %.4f\u2013%.4f\n", median(ratios),
              quantile(ratios, 0.25), quantile(ratios, 0.75), quantile(ratios, 0), quantile(ratios, 1));
  std::printf("  fastest runs: driver %.3f ms, replay %.3f ms, ratio %.4f\n", quantile(driverTotals, 0) * 1e3,
              quantile(replayTotals, 0) * 1e3, quantile(driverTotals, 0) / quantile(replayTotals, 0));
  std::printf("  time per APDU (replay): %.1f \u00b5s\n", median(replayTotals) * 1e6 / double(total.transmits));
  if (differences != 0) {
    std::printf("  WARNING: %zu replayed calls answered otherwise than recorded\n", differences);
  }
  std::printf("\n");
  return 0;
}

// Write and read time for files of each size: create with the size, write
// it whole, read it back, delete; logged in once around the runs.
int runSizes(const Driver& d, const integration::Connection& connection, int iterations) {
  Provider p(connection);
  DWORD tries = 0;
  if (call(d.acquire, &p.cardData, DWORD{0}) != SCARD_S_SUCCESS ||
      call(d.login, &p.cardData, p.user.data(), reinterpret_cast<PBYTE>(p.pin), DWORD{4}, &tries) !=
          SCARD_S_SUCCESS) {
    std::fprintf(stderr, "vemra-bench: cannot log in for the size runs\n");
    return 1;
  }
  const std::size_t sizes[] = {1024, 8192, 32768};
  std::printf("Write and read time by file size (median of %d runs)\n\n", iterations);
  std::printf("| size | write APDUs | write (ms) | read APDUs | read (ms) | write+read (ms) |\n"
              "|---:|---:|---:|---:|---:|---:|\n");
  for (std::size_t size : sizes) {
    const Bytes content = pattern(size);
    std::vector<double> writes, reads, both;
    PcscCounts writeCounts, readCounts;
    for (int i = 0; i < iterations; ++i) {
      if (call(d.createFile, &p.cardData, LPSTR{nullptr}, p.fileName, static_cast<DWORD>(size),
               EveryoneReadUserWriteAc) != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "vemra-bench: cannot create a %zu-byte file\n", size);
        return 1;
      }
      beginOperation(nullptr);
      auto start = Clock::now();
      DWORD rc = call(d.writeFile, &p.cardData, LPSTR{nullptr}, p.fileName, DWORD{0},
                      const_cast<PBYTE>(content.data()), static_cast<DWORD>(size));
      const double write = seconds(Clock::now() - start);
      writeCounts = endOperation();
      beginOperation(nullptr);
      start = Clock::now();
      if (rc == SCARD_S_SUCCESS) rc = readAndCompare(d, p, content);
      const double read = seconds(Clock::now() - start);
      readCounts = endOperation();
      if (rc != SCARD_S_SUCCESS ||
          call(d.deleteFile, &p.cardData, LPSTR{nullptr}, p.fileName, DWORD{0}) != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "vemra-bench: %zu bytes: 0x%08X\n", size, static_cast<unsigned>(rc));
        return 1;
      }
      writes.push_back(write);
      reads.push_back(read);
      both.push_back(write + read);
    }
    std::printf("| %zu KiB | %zu | %.2f | %zu | %.2f | %.2f |\n", size / 1024, writeCounts.transmits,
                median(writes) * 1e3, readCounts.transmits, median(reads) * 1e3, median(both) * 1e3);
  }
  std::printf("\n");
  (void)call(d.logout, &p.cardData, p.user.data(), DWORD{0});
  (void)call(d.release, &p.cardData);
  return 0;
}

// One warm-up session, then one during which callgrind collects driver code.
int runCallgrind(const Driver& d, const integration::Connection& connection) {
  Provider provider(connection);
  const Bytes content = pattern(4096);
  std::vector<Step> steps = sessionSteps(d, provider, content);
  std::vector<PcscCounts> counts(steps.size());
  if (!runSteps(steps, nullptr, nullptr, nullptr)) return 1;
  collectDriverInstructions(true);
  const bool ok = runSteps(steps, nullptr, &counts, nullptr);
  collectDriverInstructions(false);
  if (!ok) return 1;
  std::size_t apdus = 0;
  for (const PcscCounts& c : counts) apdus += c.transmits;
  std::printf("APDUs in the collected session: %zu\n", apdus);
  return 0;
}

// The machine's load, which the times depend on: other processes share the
// processors with pcscd, the bridge and the bench.
std::string loadAverage() {
  char text[64] = "";
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fgets(text, sizeof text, f) == nullptr) text[0] = '\0';
    std::fclose(f);
  }
  std::string load(text);
  // The three averages only (1, 5 and 15 minutes).
  std::size_t at = 0;
  for (int fields = 0; fields < 3 && at != std::string::npos; ++fields) at = load.find(' ', at + 1);
  return at == std::string::npos ? load : load.substr(0, at);
}

int run(const Options& o) {
  Driver driver;
  if (!driver.load(o.driverPath)) return 1;
  auto& stack = integration::PcscStack::instance();
  const std::string failure = stack.start();
  if (!failure.empty()) {
    std::fprintf(stderr, "vemra-bench: %s\n", failure.c_str());
    return 1;
  }
  integration::Connection connection;
  if (const std::string why = stack.connect(connection); !why.empty()) {
    std::fprintf(stderr, "vemra-bench: %s\n", why.c_str());
    stack.stop();
    return 1;
  }
  int status = 0;
  if (o.callgrind) {
    status = runCallgrind(driver, connection);
  } else {
    std::printf("vemra-bench: %s through \"%s\"; load average %s\n\n", o.driverPath.c_str(),
                stack.readerName().c_str(), loadAverage().c_str());
    if (o.session) status = runSession(driver, connection, o.iterations, o.verbose);
    if (status == 0 && o.sizes) status = runSizes(driver, connection, o.sizeIterations);
  }
  if (!o.callgrind) std::printf("Load average at the end: %s\n", loadAverage().c_str());
  const long heap = heapCallsInDriver();
  if (heap < 0) {
    std::printf("Heap calls from inside the driver: not counted in this build (sanitizers)\n");
  } else {
    std::printf("Heap calls from inside the driver: %ld\n", heap);
  }
  stack.disconnect(connection);
  stack.stop();
  return status;
}

}  // namespace
}  // namespace vemra::bench

int main(int argc, char** argv) {
  vemra::bench::Options options;
  if (!vemra::bench::parseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: vemra-bench [--iterations N] [--size-iterations N] [--driver PATH]\n"
                 "                   [--session-only | --sizes-only] [--verbose] [--callgrind]\n"
                 "  --iterations N       driver and replay sessions, in pairs (default 1000)\n"
                 "  --size-iterations N  runs of each file size (default 10)\n"
                 "  --verbose            print each pair's times\n"
                 "  --callgrind          one warm-up and one measured session, for valgrind's callgrind\n");
    return 2;
  }
  return vemra::bench::run(options);
}
