// A second process for the media cache tests. Modes:
//   write <folder> <owner>
//       Puts items (<owner>, item-N) in batches until killed, printing "committed N" once items 0..N-1 are on disk.
//   share <folder> <writer> <reader> <count>
//       Puts <count> items of <writer> while reading those of <reader> that another process puts meanwhile.
//       Prints "ok <items of reader seen>" when every item it read was intact, else "corrupt ..." and exits 3.
//   hold-write <folder> <release file>
//       Opens the folder's database with SQLite alone and, inside one write transaction, adds the item
//       ("other", "pending") last used at the epoch; prints "holding", waits until <release file> exists, commits
//       and prints "committed".
//   hold-read <folder> <release file>
//       Opens a read transaction, prints "reading <items>", waits until <release file> exists, then prints
//       "read <items> <bytes of their blobs>" from the same snapshot.
//   hold-open <folder> <owner> <count> <release file>
//       Opens the folder's cache (recording no last uses, so it writes nothing), reads the pattern items 0..count-1
//       of <owner> and prints "open <intact items>"; waits until <release file> exists, reads them again and prints
//       "read <intact items>".

#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "MF/DataCacheChain.h"
#include "MF/DiskCacheManager.h"
#include "TestSupport.h"

namespace {

using namespace MF;
using namespace MF::testing;

std::shared_ptr<DataCache> OpenDisk(std::string const& folder) {
  std::shared_ptr<DiskCacheManager::ManagedDirectory> directory;
  return CreateDataCacheInFilesystemAndManageDirectory(ImmutableString::Create(folder), directory, true, true, false);
}

int WriteUntilKilled(std::string const& folder, std::string const& owner) {
  auto disk = OpenDisk(folder);
  ImmutableString const first = ImmutableString::Create(owner);
  std::uint64_t next = 0;
  for (int batch = 0; batch < 1000; ++batch) {
    for (int i = 0; i < 200; ++i, ++next) {
      disk->PutItem(first, ImmutableString::Create(PatternName(next)), MakePatternBlob(owner, next), false);
    }
    if (!WaitForSuccess(disk->Flush())) return 2;
    std::printf("committed %llu\n", static_cast<unsigned long long>(next));
    std::fflush(stdout);
  }
  return 0;
}

int Share(std::string const& folder, std::string const& writer, std::string const& reader, std::uint64_t count) {
  DataCacheChain chain(CreateDataCacheInMemory(), OpenDisk(folder));
  ImmutableString const first = ImmutableString::Create(writer);
  std::uint64_t seen = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    chain.PutItem(first, ImmutableString::Create(PatternName(i)), MakePatternBlob(writer, i), false);
    if (i % 8 == 7 && !WaitForSuccess(chain.Flush())) return 2;
    // The other process's items, as far as it may have got.
    for (std::uint64_t j = i > 8 ? i - 8 : 0; j <= i; ++j) {
      LookUpResult const found = LookUp(chain, reader, PatternName(j));
      if (found.code == kResultItemNotFound) continue;
      if (found.code != kResultItemAvailable || !MatchesPattern(found.blob, reader, j)) {
        std::printf("corrupt %llu code %x\n", static_cast<unsigned long long>(j), found.code);
        return 3;
      }
      ++seen;
    }
  }
  if (!WaitForSuccess(chain.Flush())) return 2;
  std::printf("ok %llu\n", static_cast<unsigned long long>(seen));
  return 0;
}

void WaitFor(std::string const& releaseFile) {
  std::error_code error;
  while (!std::filesystem::exists(releaseFile, error)) usleep(2000);
}

std::string Query(sqlite3* db, char const* sql) {
  sqlite3_stmt* statement = nullptr;
  std::string row;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      if (i > 0) row += ' ';
      row += std::to_string(sqlite3_column_int64(statement, i));
    }
  }
  sqlite3_finalize(statement);
  return row;
}

int Hold(std::string const& folder, std::string const& releaseFile, bool write) {
  sqlite3* db = nullptr;
  if (sqlite3_open((folder + "/MediaCache.db").c_str(), &db) != SQLITE_OK) return 2;
  sqlite3_busy_timeout(db, 10000);
  char const* const begin = write ? "BEGIN IMMEDIATE;"
                                    "INSERT INTO entries(first, second, size, cost, last_use) "
                                    "  VALUES('other', 'pending', 7, 7 + 5 + 7 + 128, 0);"
                                    "INSERT INTO blobs(id, data) VALUES(last_insert_rowid(), CAST('pending' AS BLOB));"
                                    "UPDATE stats SET used = used + 7 + 5 + 7 + 128, items = items + 1;"
                                  : "BEGIN";
  if (sqlite3_exec(db, begin, nullptr, nullptr, nullptr) != SQLITE_OK) return 2;
  if (write) {
    std::printf("holding\n");
  } else {
    std::printf("reading %s\n", Query(db, "SELECT count(*) FROM entries").c_str());
  }
  std::fflush(stdout);
  WaitFor(releaseFile);
  if (!write) {
    std::printf("read %s\n", Query(db, "SELECT count(*), coalesce(sum(length(data)), 0) FROM blobs").c_str());
  }
  if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return 2;
  if (write) std::printf("committed\n");
  std::fflush(stdout);
  sqlite3_close(db);
  return 0;
}

int HoldOpen(std::string const& folder, std::string const& owner, std::uint64_t count, std::string const& releaseFile) {
  std::shared_ptr<DiskCacheManager::ManagedDirectory> directory;
  auto const disk =
      CreateDataCacheInFilesystemAndManageDirectory(ImmutableString::Create(folder), directory, false, false, false);
  auto const intact = [&] {
    std::uint64_t good = 0;
    for (std::uint64_t i = 0; i < count; ++i)
      good += MatchesPattern(LookUp(*disk, owner, PatternName(i)).blob, owner, i);
    return good;
  };
  std::printf("open %llu\n", static_cast<unsigned long long>(intact()));
  std::fflush(stdout);
  WaitFor(releaseFile);
  std::printf("read %llu\n", static_cast<unsigned long long>(intact()));
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 3 && args[0] == "write") return WriteUntilKilled(args[1], args[2]);
  if (args.size() == 5 && args[0] == "share") return Share(args[1], args[2], args[3], std::stoull(args[4]));
  if (args.size() == 3 && args[0] == "hold-write") return Hold(args[1], args[2], true);
  if (args.size() == 3 && args[0] == "hold-read") return Hold(args[1], args[2], false);
  if (args.size() == 5 && args[0] == "hold-open") return HoldOpen(args[1], args[2], std::stoull(args[3]), args[4]);
  std::fprintf(stderr,
               "usage: %s write <folder> <owner> | share <folder> <writer> <reader> <count> | "
               "hold-write|hold-read <folder> <release file> | hold-open <folder> <owner> <count> <release file>\n",
               argv[0]);
  return 64;
}
