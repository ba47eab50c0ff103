#include "zelsqlite/BlobReader.h"

#include <sqlite3.h>

#include <utility>

#include "zelsqlite/Connection.h"

namespace zelsqlite {

BlobReader::BlobReader(Connection& connection, std::string table, std::string column)
    : connection_(connection), table_(std::move(table)), column_(std::move(column)) {}

BlobReader::~BlobReader() { Close(); }

bool BlobReader::MoveTo(std::int64_t row) {
  int const code = blob_ != nullptr
                       ? sqlite3_blob_reopen(blob_, row)
                       : sqlite3_blob_open(connection_.db_, "main", table_.c_str(), column_.c_str(), row, 0, &blob_);
  // The handle is useless after a failed move.
  if (code != SQLITE_OK) Close();
  return code == SQLITE_OK;
}

std::int64_t BlobReader::Size() const { return sqlite3_blob_bytes(blob_); }

void BlobReader::Read(void* into, int size) {
  int const code = sqlite3_blob_read(blob_, into, size, 0);
  if (code == SQLITE_OK) return;
  StorageError error = connection_.Error(code, "read a blob");
  Close();
  throw error;
}

void BlobReader::Close() {
  sqlite3_blob_close(blob_);
  blob_ = nullptr;
}

}  // namespace zelsqlite
