#pragma once

#include <filesystem>
#include <memory>
#include <optional>

#include "BE/Detail/ContentIdentity.h"
#include "zelsqlite/Connection.h"
#include "zelsqlite/Statement.h"

namespace BE::detail {

// The content digests of file versions, kept across processes in one SQLite database (write-ahead log), so that a
// file is hashed once however often it is analysed. It is only a cache: every failure (a busy, unwritable or
// corrupt database) reads as "not known" and writes nothing, and rows are checked before they are believed.
// Several processes may share the file. Not thread-safe: its owner serialises every call.
class ContentHashStore {
 public:
  static constexpr char kDatabaseFileName[] = "ContentIdentities.db";
  // Rows beyond this many are dropped, oldest first, when the store is opened.
  static constexpr std::int64_t kMaxRows = 100000;

  // Opens (creating when missing) the database in `folder`; empty when it cannot be used.
  static std::unique_ptr<ContentHashStore> Open(std::filesystem::path const& folder);

  ContentHashStore(ContentHashStore const&) = delete;
  ContentHashStore& operator=(ContentHashStore const&) = delete;

  std::optional<ContentDigest> Find(FileStamp const& stamp);
  void Put(FileStamp const& stamp, ContentDigest const& digest);

 private:
  // Prepares the statements on `db`, whose schema is set up; throws StorageError.
  explicit ContentHashStore(std::unique_ptr<zelsqlite::Connection> db);

  // Declared first, so that it outlives its statements.
  std::unique_ptr<zelsqlite::Connection> const db_;
  zelsqlite::Statement find_;
  zelsqlite::Statement put_;
};

}  // namespace BE::detail
