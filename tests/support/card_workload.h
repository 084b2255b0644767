// The work of one of several providers sharing one card (threads of one
// process, or processes through pcscd): each with its own CARD_DATA, each
// step inside the provider's own transaction on its card handle, as the
// platform's providers hold one around every call. Each worker creates,
// writes, reads back and deletes files of its own and writes and reads one
// file shared by all, in one directory, logging in and out. It records what
// it wrote and read, and every failure other than those sharing allows (the
// shared file created or deleted by another worker in between).
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "vemradrv/minidriver.h"

namespace vemra::test {

inline constexpr char kSharedDirectory[] = "shared";
inline constexpr char kSharedFile[] = "common";

struct WorkerLog {
  std::vector<std::string> sharedWrites;  // contents written to the shared file
  std::vector<std::string> sharedReads;   // contents read from it
  std::vector<std::string> failures;      // unexpected results, described
};

struct Provider {
  // SCardBeginTransaction / SCardEndTransaction on the worker's card handle.
  std::function<long()> begin;
  std::function<long()> end;
};

// Runs `rounds` rounds on a CARD_DATA already acquired.
void runWorker(CARD_DATA& cardData, const Provider& provider, int worker, int rounds, WorkerLog& log);

// The checks after all workers ended: no failure, every read of the shared
// file returned a content some worker wrote. Empty when all hold.
std::string checkLogs(const std::vector<WorkerLog>& logs);

// Lines of text for passing a log between processes, and back.
std::string serialise(const WorkerLog& log);
WorkerLog deserialise(const std::string& text);

}  // namespace vemra::test
