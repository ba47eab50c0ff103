#pragma once

// Marks what the SQLite wrapper library exports; everything else stays hidden.
#define ZELSQLITE_EXPORT __attribute__((visibility("default")))
