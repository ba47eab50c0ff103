#pragma once

// Marks what the zelcore shared library exports; everything else stays hidden.
#define ZELCORE_EXPORT __attribute__((visibility("default")))
