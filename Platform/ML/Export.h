#pragma once

// Marks what the importer library exports; everything else stays hidden.
#define ML_EXPORT __attribute__((visibility("default")))
