#pragma once

#include <cstdint>
#include <string>

#include "zelsqlite/Export.h"

struct sqlite3_blob;

namespace zelsqlite {

class Connection;

// Reads the blobs of one column straight into the caller's memory (SQLite's incremental blob I/O), moving one
// handle from row to row, which costs less than a statement per read. An open handle keeps its read transaction
// from ending: Close it first. Not thread-safe.
class ZELSQLITE_EXPORT BlobReader {
 public:
  BlobReader(Connection& connection, std::string table, std::string column);
  BlobReader(BlobReader const&) = delete;
  BlobReader& operator=(BlobReader const&) = delete;
  ~BlobReader();

  // Points the reader at row `row`; false, and closed, when the row is missing or its value is not a blob.
  bool MoveTo(std::int64_t row);
  // The size of the blob pointed at.
  std::int64_t Size() const;
  // Copies the first `size` bytes of the blob pointed at into `into`. Throws the connection's StorageError, closed.
  void Read(void* into, int size);
  void Close();

 private:
  Connection& connection_;
  std::string const table_;
  std::string const column_;
  sqlite3_blob* blob_ = nullptr;
};

}  // namespace zelsqlite
