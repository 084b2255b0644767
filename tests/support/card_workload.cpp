#include "support/card_workload.h"

#include <map>
#include <sstream>

namespace vemra::test {
namespace {

LPSTR str(const char* text) { return const_cast<LPSTR>(text); }

// The content worker w writes in round r: its length varies, so that files
// grow out of their EF and move, and shrink again.
std::string content(int worker, int round, char tag) {
  std::string text = std::string(1, tag) + std::to_string(worker) + "." + std::to_string(round) + ":";
  const std::size_t length = 5 + static_cast<std::size_t>((worker * 97 + round * 61) % 280);
  while (text.size() < length) text.push_back(static_cast<char>('a' + (text.size() + worker + round) % 26));
  return text;
}

class Worker {
 public:
  Worker(CARD_DATA& cardData, const Provider& provider, int worker, WorkerLog& log)
      : d_(cardData), provider_(provider), worker_(worker), log_(log) {}

  // One step inside the provider's transaction.
  template <typename Step>
  void step(const char* what, Step&& body) {
    if (const long rc = provider_.begin()) {
      fail(what, "SCardBeginTransaction", static_cast<DWORD>(rc));
      return;
    }
    body();
    if (const long rc = provider_.end()) fail(what, "SCardEndTransaction", static_cast<DWORD>(rc));
  }

  // `rc` must be 0 or one of `allowed`.
  bool expect(const char* what, DWORD rc, std::initializer_list<DWORD> allowed = {}) {
    if (rc == 0) return true;
    for (DWORD a : allowed) {
      if (rc == a) return false;
    }
    fail("round", what, rc);
    return false;
  }

  void fail(const char* step, const char* what, DWORD rc) {
    std::ostringstream text;
    text << "worker " << worker_ << ", " << step << ": " << what << " returned 0x" << std::hex << rc;
    log_.failures.push_back(text.str());
  }

  DWORD login() {
    std::string pin = "1234";
    return d_.pfnCardAuthenticatePin(&d_, user_.data(), reinterpret_cast<PBYTE>(pin.data()), 4, nullptr);
  }
  DWORD write(const char* file, const std::string& text) {
    return d_.pfnCardWriteFile(&d_, str(kSharedDirectory), str(file), 0,
                               reinterpret_cast<PBYTE>(const_cast<char*>(text.data())), static_cast<DWORD>(text.size()));
  }
  DWORD read(const char* file, std::string& text) {
    PBYTE data = nullptr;
    DWORD length = 0;
    const DWORD rc = d_.pfnCardReadFile(&d_, str(kSharedDirectory), str(file), 0, &data, &length);
    if (rc == 0) {
      text.assign(reinterpret_cast<const char*>(data), length);
      d_.pfnCspFree(data);
    }
    return rc;
  }

  void round(int r) {
    const std::string own = "w" + std::to_string(worker_) + "r" + std::to_string(r);
    const std::string mine = content(worker_, r, 'o');
    step("own file", [&] {
      if (!expect("login", login())) return;
      if (!expect("create own", d_.pfnCardCreateFile(&d_, str(kSharedDirectory), str(own.c_str()), 0,
                                                     EveryoneReadUserWriteAc)))
        return;
      if (!expect("write own", write(own.c_str(), mine))) return;
    });
    step("read own", [&] {
      std::string back;
      if (expect("read own", read(own.c_str(), back)) && back != mine) fail("read own", "content differs", 0);
    });
    step("shared file", [&] {
      if (!expect("login", login())) return;
      const DWORD created = d_.pfnCardCreateFile(&d_, str(kSharedDirectory), str(kSharedFile), 0,
                                                 EveryoneReadUserWriteAc);
      if (created != 0 && created != ERROR_FILE_EXISTS) return fail("shared file", "create shared", created);
      const std::string text = content(worker_, r, 's');
      if (expect("write shared", write(kSharedFile, text))) log_.sharedWrites.push_back(text);
    });
    step("read shared", [&] {
      std::string back;
      if (expect("read shared", read(kSharedFile, back), {SCARD_E_FILE_NOT_FOUND})) log_.sharedReads.push_back(back);
    });
    step("list", [&] {
      LPSTR names = nullptr;
      DWORD length = 0;
      if (!expect("list", d_.pfnCardEnumFiles(&d_, str(kSharedDirectory), &names, &length, 0))) return;
      std::set<std::string> seen;
      for (const char* name = names; name < names + length && *name != '\0'; name += std::string(name).size() + 1) {
        if (!seen.insert(name).second) fail("list", "a name listed twice", 0);
      }
      d_.pfnCspFree(names);
    });
    step("delete", [&] {
      if (!expect("login", login())) return;
      expect("delete own", d_.pfnCardDeleteFile(&d_, str(kSharedDirectory), str(own.c_str()), 0));
      if ((r + worker_) % 3 == 0) {
        expect("delete shared", d_.pfnCardDeleteFile(&d_, str(kSharedDirectory), str(kSharedFile), 0),
               {SCARD_E_FILE_NOT_FOUND});
      }
    });
    if (r % 2 == 1) step("logout", [&] { expect("logout", d_.pfnCardDeauthenticate(&d_, user_.data(), 0)); });
  }

 private:
  CARD_DATA& d_;
  const Provider& provider_;
  int worker_;
  WorkerLog& log_;
  std::u16string user_ = u"user";
};

std::string escape(const std::string& text) {
  std::ostringstream out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == '%' || c >= 0x7F) {
      static const char kDigits[] = "0123456789ABCDEF";
      out << '%' << kDigits[c >> 4] << kDigits[c & 15];
    } else {
      out << c;
    }
  }
  return out.str();
}

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

void runWorker(CARD_DATA& cardData, const Provider& provider, int worker, int rounds, WorkerLog& log) {
  Worker w(cardData, provider, worker, log);
  for (int r = 0; r < rounds; ++r) w.round(r);
}

std::string checkLogs(const std::vector<WorkerLog>& logs) {
  std::ostringstream problems;
  std::set<std::string> written;
  for (const auto& log : logs) written.insert(log.sharedWrites.begin(), log.sharedWrites.end());
  for (const auto& log : logs) {
    for (const auto& failure : log.failures) problems << failure << "\n";
    for (const auto& read : log.sharedReads) {
      if (written.count(read) == 0) problems << "a read of the shared file returned what no one wrote: " << read << "\n";
    }
  }
  return problems.str();
}

std::string serialise(const WorkerLog& log) {
  std::ostringstream out;
  for (const auto& w : log.sharedWrites) out << "W " << escape(w) << "\n";
  for (const auto& r : log.sharedReads) out << "R " << escape(r) << "\n";
  for (const auto& f : log.failures) out << "F " << escape(f) << "\n";
  return out.str();
}

WorkerLog deserialise(const std::string& text) {
  WorkerLog log;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 2) continue;
    const std::string value = unescape(line.substr(2));
    if (line[0] == 'W') log.sharedWrites.push_back(value);
    if (line[0] == 'R') log.sharedReads.push_back(value);
    if (line[0] == 'F') log.failures.push_back(value);
  }
  return log;
}

}  // namespace vemra::test
