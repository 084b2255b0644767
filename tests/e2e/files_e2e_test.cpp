// The card file system end to end on the simulated card: directories and
// files created, written, read back, moved, listed and deleted through the
// exported entry points, with the card itself granting or refusing each step.
#include <cstring>
#include <string>
#include <vector>

#include "common/entry_points.h"
#include "support/simulated_card.h"

namespace vemra::test {
namespace {

constexpr std::uint16_t kFound = 0x9000;
constexpr std::uint16_t kNotFound = 0x6A82;

std::vector<BYTE> content(std::size_t size, unsigned seed) {
  std::vector<BYTE> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
  return bytes;
}

class FilesOnSimulatedCard : public SimulatedDriverTest {
 protected:
  void SetUp() override {
    SimulatedDriverTest::SetUp();
    bind();
  }

  // The entry points take mutable strings but never write to them.
  static LPSTR str(const char* text) { return const_cast<LPSTR>(text); }

  DWORD createDirectory(const char* name, CARD_DIRECTORY_ACCESS_CONDITION condition) {
    return CardCreateDirectory(&cardData, str(name), condition);
  }
  DWORD deleteDirectory(const char* name) { return CardDeleteDirectory(&cardData, str(name)); }
  DWORD createFile(const char* directory, const std::string& name, DWORD size, CARD_FILE_ACCESS_CONDITION condition) {
    return CardCreateFile(&cardData, str(directory), str(name.c_str()), size, condition);
  }
  DWORD deleteFile(const char* directory, const char* name) {
    return CardDeleteFile(&cardData, str(directory), str(name), 0);
  }
  DWORD writeFile(const char* directory, const std::string& name, std::vector<BYTE> data) {
    return CardWriteFile(&cardData, str(directory), str(name.c_str()), 0, data.data(), static_cast<DWORD>(data.size()));
  }
  // CardReadFile; the content on success, the error code in `rc`.
  std::vector<BYTE> readFile(const char* directory, const std::string& name, DWORD& rc) {
    PBYTE data = nullptr;
    DWORD size = 0;
    rc = CardReadFile(&cardData, str(directory), str(name.c_str()), 0, &data, &size);
    std::vector<BYTE> read;
    if (rc == 0) read.assign(data, data + size);
    ProviderDouble::free(data);  // NULL after a failure
    return read;
  }
  DWORD fileInfo(const char* name, CARD_FILE_INFO& info) {
    info = CARD_FILE_INFO{1, 0xDEAD, InvalidAc};
    return CardGetFileInfo(&cardData, nullptr, str(name), &info);
  }
  // CardEnumFiles as a list of names.
  std::vector<std::string> listFiles(const char* directory, DWORD& rc) {
    LPSTR names = nullptr;
    DWORD size = 0;
    rc = CardEnumFiles(&cardData, str(directory), &names, &size, 0);
    std::vector<std::string> list;
    if (rc == 0) {
      EXPECT_EQ(names[size - 1], '\0');
      for (const char* p = names; *p != '\0'; p += std::strlen(p) + 1) list.emplace_back(p);
    }
    ProviderDouble::free(names);
    return list;
  }
  // SELECT sent straight to the card after selecting the application (and
  // the DF `dfFid` when non-zero): whether an EF (or that DF) exists.
  std::uint16_t selectOnCard(std::uint16_t fid, std::uint16_t dfFid = 0) {
    const std::uint8_t app[] = {0x00, 0xA4, 0x04, 0x0C, 0x0C, 'V', 'E', 'M', 'R',
                                'A',  '_',  'M',  'I',  'N',  'I', 'D', 'R'};
    (void)card().transmit(app);
    if (dfFid != 0) {
      const std::uint8_t df[] = {
          0x00, 0xA4, 0x01, 0x0C, 0x02, static_cast<std::uint8_t>(dfFid >> 8), static_cast<std::uint8_t>(dfFid)};
      const auto answer = card().transmit(df);
      if (answer != std::vector<std::uint8_t>{0x90, 0x00}) return kNotFound;
    }
    const std::uint8_t ef[] = {
        0x00, 0xA4, 0x02, 0x0C, 0x02, static_cast<std::uint8_t>(fid >> 8), static_cast<std::uint8_t>(fid)};
    const auto answer = card().transmit(ef);
    return static_cast<std::uint16_t>((answer[answer.size() - 2] << 8) | answer.back());
  }
  std::uint16_t fileFid(unsigned entry) { return static_cast<std::uint16_t>(card().config().fileFidBase + entry); }
  std::uint16_t tableFid(unsigned table) {
    return static_cast<std::uint16_t>(card().config().fileTableFidBase + table);
  }
  std::uint16_t dirFid(unsigned number) { return static_cast<std::uint16_t>(card().config().dirFidBase + number); }
};

TEST_F(FilesOnSimulatedCard, ContentOfEverySizeReadsBackByteForByte) {
  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(createDirectory("Data", UserCreateDeleteDirAc), 0u);
  // Created at its size and written in place, or created empty and grown.
  unsigned seed = 0;
  for (const char* directory : {static_cast<const char*>(nullptr), "data"}) {
    for (std::size_t size : {std::size_t{1}, std::size_t{10}, std::size_t{11}, std::size_t{248}, std::size_t{249}}) {
      for (bool grown : {false, true}) {
        const std::string name = std::string(grown ? "g" : "f").append(std::to_string(size));
        const auto bytes = content(size, ++seed);
        ASSERT_EQ(createFile(directory, name, grown ? 0 : static_cast<DWORD>(size), UserReadWriteAc), 0u) << name;
        ASSERT_EQ(writeFile(directory, name, bytes), 0u) << name;
        DWORD rc = 0;
        EXPECT_EQ(readFile(directory, name, rc), bytes) << name;
        EXPECT_EQ(rc, 0u) << name;
      }
    }
  }
  DWORD rc = 0;
  ASSERT_EQ(createFile(nullptr, "empty", 0, EveryoneReadUserWriteAc), 0u);
  EXPECT_TRUE(readFile(nullptr, "EMPTY", rc).empty());
  EXPECT_EQ(rc, 0u);
}

TEST_F(FilesOnSimulatedCard, TheLargestFileReadsBackByteForByte) {
  ASSERT_EQ(loginUser(), 0u);
  const auto bytes = content(0x8000, 3);
  ASSERT_EQ(createFile(nullptr, "big", 0, EveryoneReadUserWriteAc), 0u);
  ASSERT_EQ(writeFile(nullptr, "big", bytes), 0u);
  DWORD rc = 0;
  EXPECT_EQ(readFile(nullptr, "big", rc), bytes);
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(writeFile(nullptr, "big", content(0x8001, 1)), SCARD_E_WRITE_TOO_MANY);
  EXPECT_EQ(createFile(nullptr, "bigger", 0x8001, EveryoneReadUserWriteAc), SCARD_E_INVALID_PARAMETER);
}

TEST_F(FilesOnSimulatedCard, AGrowingFileMovesWithItsContentAndAccessBytes) {
  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(createFile(nullptr, "first", 16, EveryoneReadUserWriteAc), 0u);  // entry 0
  ASSERT_EQ(createFile(nullptr, "notes", 0, EveryoneReadAdminWriteAc), 0u);  // entry 1
  ASSERT_EQ(deleteFile(nullptr, "first"), 0u);                               // entry 0 free again
  EXPECT_EQ(selectOnCard(fileFid(1)), kFound);
  ASSERT_EQ(loginAdmin(), 0u);
  ASSERT_EQ(writeFile(nullptr, "notes", content(10, 1)), 0u) << "10 bytes fit the 10-byte EF";
  EXPECT_EQ(selectOnCard(fileFid(0)), kNotFound);

  const auto grown = content(300, 2);
  ASSERT_EQ(writeFile(nullptr, "notes", grown), 0u);
  EXPECT_EQ(selectOnCard(fileFid(0)), kFound) << "the new EF, under the lowest free entry";
  EXPECT_EQ(selectOnCard(fileFid(1)), kNotFound) << "the old EF is gone";
  DWORD rc = 0;
  EXPECT_EQ(readFile(nullptr, "notes", rc), grown);
  CARD_FILE_INFO info{};
  ASSERT_EQ(fileInfo("notes", info), 0u);
  EXPECT_EQ(info.AccessCondition, EveryoneReadAdminWriteAc);
  EXPECT_EQ(info.cbFileSize, 300u);
  DWORD listed = 0;
  EXPECT_EQ(listFiles(nullptr, listed), std::vector<std::string>{"notes"});
}

TEST_F(FilesOnSimulatedCard, EveryAccessConditionIsReportedBack) {
  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(loginAdmin(), 0u);
  const CARD_FILE_ACCESS_CONDITION conditions[] = {EveryoneReadUserWriteAc,  UserWriteExecuteAc,
                                                   EveryoneReadAdminWriteAc, UnknownAc,
                                                   UserReadWriteAc,          AdminReadWriteAc};
  for (CARD_FILE_ACCESS_CONDITION condition : conditions) {
    const std::string name = std::string("ac").append(std::to_string(condition));
    ASSERT_EQ(createFile(nullptr, name, 5, condition), 0u) << name;
    CARD_FILE_INFO info{};
    const DWORD rc = fileInfo(name.c_str(), info);
    if (condition == UserWriteExecuteAc || condition == UnknownAc) {
      EXPECT_EQ(rc, SCARD_W_SECURITY_VIOLATION) << "no one reads " << name;
      EXPECT_EQ(info.cbFileSize, 0xDEADu);
    } else {
      EXPECT_EQ(rc, 0u) << name;
      EXPECT_EQ(info.AccessCondition, condition) << name;
      EXPECT_EQ(info.cbFileSize, 5u) << name;
    }
  }
  EXPECT_EQ(createFile(nullptr, "ac7", 5, static_cast<CARD_FILE_ACCESS_CONDITION>(7)), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(deleteFile(nullptr, "ac4"), SCARD_W_SECURITY_VIOLATION) << "an UnknownAc file is never deleted";
}

TEST_F(FilesOnSimulatedCard, AFullFileTableMakesTheNextOne) {
  ASSERT_EQ(loginUser(), 0u);
  const unsigned records = card().config().fileTableRecords;
  for (unsigned i = 0; i < records; ++i)
    ASSERT_EQ(createFile(nullptr, std::string("f").append(std::to_string(i)), 1, EveryoneReadUserWriteAc), 0u);
  EXPECT_EQ(selectOnCard(tableFid(1)), kNotFound);
  ASSERT_EQ(createFile(nullptr, "next", 2, EveryoneReadUserWriteAc), 0u);
  EXPECT_EQ(selectOnCard(tableFid(1)), kFound);
  EXPECT_EQ(selectOnCard(fileFid(records)), kFound);
  ASSERT_EQ(writeFile(nullptr, "next", content(2, 9)), 0u);
  DWORD rc = 0;
  EXPECT_EQ(readFile(nullptr, "next", rc), content(2, 9));
  const auto list = listFiles(nullptr, rc);
  ASSERT_EQ(rc, 0u);
  ASSERT_EQ(list.size(), records + 1);
  EXPECT_EQ(list.front(), "f0");
  EXPECT_EQ(list.back(), "next");
  // Emptied, the first table's entries are taken again first.
  ASSERT_EQ(deleteFile(nullptr, "f3"), 0u);
  ASSERT_EQ(createFile(nullptr, "again", 1, EveryoneReadUserWriteAc), 0u);
  EXPECT_EQ(listFiles(nullptr, rc)[3], "again");
}

TEST_F(FilesOnSimulatedCard, DirectoriesWithBothAccessConditions) {
  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(createDirectory("UserDir", UserCreateDeleteDirAc), 0u);
  EXPECT_EQ(createDirectory("userdir", UserCreateDeleteDirAc), ERROR_FILE_EXISTS);
  EXPECT_EQ(createDirectory("AdminDir", AdminCreateDeleteDirAc), 0u) << "creation needs the application's right only";
  EXPECT_EQ(selectOnCard(tableFid(0), dirFid(1)), kFound) << "each directory gets its file table 0";

  // Files inside, and the same name in another directory and the root.
  ASSERT_EQ(createFile("userdir", "a", 3, EveryoneReadUserWriteAc), 0u);
  ASSERT_EQ(createFile("userdir", "seven77", 0, EveryoneReadUserWriteAc), 0u);
  ASSERT_EQ(createFile(nullptr, "a", 0, EveryoneReadUserWriteAc), 0u);
  EXPECT_EQ(createFile("userdir", "A", 0, EveryoneReadUserWriteAc), ERROR_FILE_EXISTS);
  EXPECT_EQ(createFile(nullptr, "userdir", 0, EveryoneReadUserWriteAc), ERROR_FILE_EXISTS);
  EXPECT_EQ(createDirectory("a", UserCreateDeleteDirAc), ERROR_FILE_EXISTS);
  DWORD rc = 0;
  EXPECT_EQ(listFiles("USERDIR", rc), (std::vector<std::string>{"a", "seven77"}));
  EXPECT_EQ(listFiles(nullptr, rc), std::vector<std::string>{"a"}) << "directories are not listed";
  listFiles("admindir", rc);
  EXPECT_EQ(rc, SCARD_E_FILE_NOT_FOUND);
  listFiles("nodir", rc);
  EXPECT_EQ(rc, SCARD_E_DIR_NOT_FOUND);

  // Deleting: not while it holds a file; the administrator's needs the administrator.
  EXPECT_EQ(deleteDirectory("userdir"), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(deleteDirectory("admindir"), SCARD_W_SECURITY_VIOLATION);
  ASSERT_EQ(deleteFile("userdir", "a"), 0u);
  ASSERT_EQ(deleteFile("userdir", "seven77"), 0u);
  EXPECT_EQ(deleteDirectory("UserDir"), 0u);
  EXPECT_EQ(selectOnCard(tableFid(0), dirFid(0)), kNotFound) << "the DF went with its tables";
  ASSERT_EQ(loginAdmin(), 0u);
  EXPECT_EQ(deleteDirectory("admindir"), 0u);
  EXPECT_EQ(deleteDirectory("admindir"), SCARD_E_DIR_NOT_FOUND);

  // A user directory with only the administrator: either role suffices.
  card().reset();
  ASSERT_EQ(loginAdmin(), 0u);
  ASSERT_EQ(createDirectory("again", UserCreateDeleteDirAc), 0u);
  EXPECT_EQ(deleteDirectory("again"), 0u);
}

TEST_F(FilesOnSimulatedCard, DeletingNeedsTheWriteRight) {
  ASSERT_EQ(loginAdmin(), 0u);
  ASSERT_EQ(createFile(nullptr, "adminw", 4, EveryoneReadAdminWriteAc), 0u);
  ASSERT_EQ(createFile(nullptr, "userw", 4, UserReadWriteAc), 0u);
  card().reset();  // no one verified
  EXPECT_EQ(deleteFile(nullptr, "userw"), SCARD_W_SECURITY_VIOLATION);
  ASSERT_EQ(loginUser(), 0u);
  EXPECT_EQ(deleteFile(nullptr, "adminw"), SCARD_W_SECURITY_VIOLATION);
  EXPECT_EQ(deleteFile(nullptr, "userw"), 0u);
  EXPECT_EQ(selectOnCard(fileFid(1)), kNotFound);
  ASSERT_EQ(loginAdmin(), 0u);
  EXPECT_EQ(deleteFile(nullptr, "adminw"), 0u);
  EXPECT_EQ(deleteFile(nullptr, "adminw"), SCARD_E_FILE_NOT_FOUND);
  DWORD rc = 0;
  listFiles(nullptr, rc);
  EXPECT_EQ(rc, SCARD_E_FILE_NOT_FOUND);
}

TEST_F(FilesOnSimulatedCard, TheCardsRefusalsSurfaceAsTheOperationsCodes) {
  // Nobody verified: the card refuses every change with 0x6982.
  EXPECT_EQ(createDirectory("dir", UserCreateDeleteDirAc), SCARD_W_SECURITY_VIOLATION);
  EXPECT_EQ(createFile(nullptr, "f", 4, EveryoneReadUserWriteAc), SCARD_W_SECURITY_VIOLATION);
  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(createFile(nullptr, "mine", 4, UserReadWriteAc), 0u);
  ASSERT_EQ(createFile(nullptr, "open", 4, EveryoneReadUserWriteAc), 0u);
  ASSERT_EQ(writeFile(nullptr, "mine", content(4, 1)), 0u);
  card().reset();
  DWORD rc = 0;
  readFile(nullptr, "mine", rc);
  EXPECT_EQ(rc, SCARD_W_SECURITY_VIOLATION);
  CARD_FILE_INFO info{};
  EXPECT_EQ(fileInfo("mine", info), SCARD_W_SECURITY_VIOLATION);
  EXPECT_EQ(writeFile(nullptr, "open", content(4, 2)), SCARD_W_SECURITY_VIOLATION);
  EXPECT_EQ(writeFile(nullptr, "open", content(40, 2)), SCARD_W_SECURITY_VIOLATION) << "the moved EF is refused";
  EXPECT_TRUE(readFile(nullptr, "open", rc).size() == 4 && rc == 0) << "everyone reads it, unchanged";
  EXPECT_EQ(writeFile(nullptr, "absent", content(4, 2)), SCARD_E_FILE_NOT_FOUND);
}

TEST_F(FilesOnSimulatedCard, FreeSpaceFollowsTheCard) {
  CARD_FREE_SPACE_INFO before{0, 0, 0, 0};
  ASSERT_EQ(CardQueryFreeSpace(&cardData, 0, &before), 0u);
  EXPECT_EQ(before.dwVersion, 1u);
  EXPECT_EQ(before.dwBytesAvailable, card().freeMemory());
  EXPECT_EQ(before.dwMaxKeyContainers, card().config().maxContainers);
  EXPECT_EQ(before.dwKeyContainersAvailable, card().config().maxContainers);

  ASSERT_EQ(loginUser(), 0u);
  ASSERT_EQ(createFile(nullptr, "space", 1000, EveryoneReadUserWriteAc), 0u);
  CARD_FREE_SPACE_INFO after{1, 0, 0, 0};
  ASSERT_EQ(CardQueryFreeSpace(&cardData, 0, &after), 0u);
  EXPECT_EQ(after.dwBytesAvailable, card().freeMemory());
  EXPECT_EQ(before.dwBytesAvailable - after.dwBytesAvailable, 1000u + 32u) << "the EF and its header";
  ASSERT_EQ(deleteFile(nullptr, "space"), 0u);
  ASSERT_EQ(CardQueryFreeSpace(&cardData, 0, &after), 0u);
  EXPECT_EQ(after.dwBytesAvailable, before.dwBytesAvailable);
}

}  // namespace
}  // namespace vemra::test
