// The timing model: the time computed for given exchanges, the profile's
// text form, what the card reports of its work, the profile in the state
// file, and vemra-vcard holding its answer back for the modelled time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cardsim/timing.h"
#include "sim_test_util.h"

extern char** environ;

namespace vemra::cardsim::test {
namespace {

using namespace std::chrono_literals;

TEST(TimingModel, ComputesTheTimeOfAnExchange) {
  TimingProfile p;
  p.command = 5000us;
  p.byteIn = 100us;
  p.byteOut = 10us;
  p.rsa1024 = 40000us;
  p.rsa2048 = 150000us;
  p.write = 7000us;
  struct Case {
    const char* what;
    std::size_t in, out;
    CommandWork work;
    long long micros;
  };
  const Case cases[] = {
      {"SELECT by name", 17, 2, {}, 5000 + 1700 + 20},
      {"GET RESPONSE of 256 bytes", 5, 258, {}, 5000 + 500 + 2580},
      {"2048-bit signature", 56, 2, {2048, false}, 5000 + 5600 + 20 + 150000},
      {"1024-bit decryption", 133, 2, {1024, false}, 5000 + 13300 + 20 + 40000},
      {"UPDATE BINARY", 253, 2, {0, true}, 5000 + 25300 + 20 + 7000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(modelledTime(p, c.in, c.out, c.work).count(), c.micros) << c.what;
  }
  EXPECT_EQ(modelledTime(TimingProfile{}, 261, 258, {2048, true}).count(), 0) << "no profile, no time";
  // The default profile: 5 ms and 1116 µs a byte for a SELECT by name.
  EXPECT_EQ(modelledTime(TimingProfile::usbContactReader(), 17, 2, {}).count(), 5000 + 19 * 1116);
}

TEST(TimingModel, ReadsAndWritesTheTextForm) {
  const TimingProfile usb = TimingProfile::usbContactReader();
  TimingProfile fast = usb;
  fast.byteIn = fast.byteOut = 93us;
  TimingProfile onlyCommand;
  onlyCommand.command = 20ms;
  struct Case {
    const char* text;
    std::optional<TimingProfile> expected;
  };
  const Case cases[] = {
      {"off", TimingProfile{}},
      {"usb-contact", usb},
      {"usb-contact,byte=93us", fast},
      {"command=20ms", onlyCommand},
      {"off,command=20000us", onlyCommand},
      {"", std::nullopt},
      {"usb-contact,", std::nullopt},
      {"fast", std::nullopt},
      {"command=20", std::nullopt},
      {"command=-1ms", std::nullopt},
      {"command=1.5ms", std::nullopt},
      {"usb-contact,speed=1ms", std::nullopt},
      {"command=999999999999ms", std::nullopt},
      {"byte=1ms,usb-contact", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseTimingProfile(c.text), c.expected) << c.text;
  }
  EXPECT_EQ(parseTimingProfile(formatTimingProfile(usb)), usb);
  EXPECT_EQ(parseTimingProfile(formatTimingProfile(TimingProfile{})), TimingProfile{});
  EXPECT_FALSE(TimingProfile{}.enabled());
  EXPECT_TRUE(usb.enabled());
}

TEST(TimingModel, CardReportsWritesAndKeyOperations) {
  Card card;
  ASSERT_EQ(selectApp(card), 0x9000);
  EXPECT_FALSE(card.lastWork().wrote);
  ASSERT_EQ(verifyUser(card), 0x9000);
  // A new file with a record written; a refused write is no write.
  ASSERT_EQ(create(card, dataEfTemplate(0xA000, 4, 0x00, 0x10)), 0x9000);
  EXPECT_TRUE(card.lastWork().wrote);
  card.transmit(h("00 D6 00 00 04 01020304"));
  EXPECT_TRUE(card.lastWork().wrote);
  card.transmit(h("00 D6 00 08 01 FF"));
  EXPECT_FALSE(card.lastWork().wrote) << "offset beyond the end";
  card.transmit(h("00 B0 00 00 04"));
  EXPECT_FALSE(card.lastWork().wrote);

  // A 1024-bit key: loading it writes; a decryption is a key operation of its size.
  ASSERT_EQ(create(card, keyFileTemplate(0xB100, 0x10, 0x01, true, 0x60)), 0x9000);
  ASSERT_EQ(sendChained(card, "72 01 00", keyStream(rsaKey(1024))), 0x9000);
  EXPECT_TRUE(card.lastWork().wrote);
  ASSERT_EQ(run(card, "00 22 F1 B6 03 84 01 60").sw, 0x9000);
  Bytes block(128, 0x00);
  block[127] = 0x02;
  const Bytes announced = card.transmit(cmd("80 2A 9E 9A", block));
  ASSERT_EQ(announced, h("61 80"));
  EXPECT_EQ(card.lastWork().privateKeyBits, 1024u);
  EXPECT_FALSE(card.lastWork().wrote);
  card.powerOff();
  card.transmit(h("00 A4 00 0C 00"));
  EXPECT_EQ(card.lastWork().privateKeyBits, 0u);
}

TEST(TimingModel, ProfileIsKeptInTheStateFile) {
  CardConfig config;
  config.timing = *parseTimingProfile("usb-contact,write=3ms");
  const Card card(config);
  const Card loaded = Card::fromJson(card.toJson());
  EXPECT_EQ(loaded.config().timing, config.timing);
  EXPECT_FALSE(Card::fromJson(Card().toJson()).config().timing.enabled());

  std::string tampered = card.toJson();
  const std::size_t at = tampered.find("off,command=");
  ASSERT_NE(at, std::string::npos);
  tampered.replace(at, 3, "on");
  EXPECT_THROW(Card::fromJson(tampered), std::runtime_error);
}

// Plays vpcd: listens on a free port of 127.0.0.1, starts vemra-vcard
// against it, and exchanges framed messages with it.
class FakeVpcd {
 public:
  FakeVpcd() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(listener_, 1) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
      port_ = ntohs(addr.sin_port);
    }
  }
  ~FakeVpcd() {
    if (connection_ >= 0) ::close(connection_);
    if (listener_ >= 0) ::close(listener_);
    if (bridge_ > 0) {
      ::kill(bridge_, SIGTERM);
      int status = 0;
      ::waitpid(bridge_, &status, 0);
    }
  }

  // Starts the bridge with `options` and accepts its connection.
  bool start(std::vector<std::string> options) {
    if (port_ == 0) return false;
    std::vector<std::string> args{VEMRA_VCARD_PATH, "--port", std::to_string(port_), "--wait", "10"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&bridge_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    connection_ = ::accept(listener_, nullptr, nullptr);
    return connection_ >= 0;
  }

  // Sends one message and, unless it is a control byte without an answer,
  // reads the answer.
  Bytes exchange(const Bytes& payload) {
    Bytes frame{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    if (::send(connection_, frame.data(), frame.size(), 0) != static_cast<ssize_t>(frame.size())) return {};
    uint8_t header[2];
    if (!readExact(header, 2)) return {};
    Bytes answer((static_cast<std::size_t>(header[0]) << 8) | header[1]);
    if (!readExact(answer.data(), answer.size())) return {};
    return answer;
  }

 private:
  bool readExact(uint8_t* out, std::size_t n) {
    while (n > 0) {
      const ssize_t got = ::recv(connection_, out, n, 0);
      if (got <= 0) return false;
      out += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

  int listener_ = -1;
  int connection_ = -1;
  uint16_t port_ = 0;
  pid_t bridge_ = -1;
};

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(TimingModel, BridgeHoldsTheAnswerForTheModelledTimeAndCountsIt) {
  const std::filesystem::path stats = std::filesystem::temp_directory_path() /
                                      ("vemra-timing-stats-" + std::to_string(::getpid()) + ".json");
  FakeVpcd vpcd;
  // 20 ms for the command and 1 ms a byte: 39 ms for a SELECT by name.
  ASSERT_TRUE(vpcd.start({"--timing", "command=20ms,byte=1ms", "--stats", stats.string()}));
  EXPECT_EQ(vpcd.exchange({0x04}), Bytes(kDefaultAtr.begin(), kDefaultAtr.end()));
  const Bytes select = cmd("00 A4 04 0C", kAppName);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(vpcd.exchange(select), h("90 00"));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 39ms);
  EXPECT_EQ(slurp(stats),
            "{\"commands\": 1, \"bytesIn\": 17, \"bytesOut\": 2, \"modelledMicroseconds\": 39000}\n");
  std::filesystem::remove(stats);
}

}  // namespace
}  // namespace vemra::cardsim::test
