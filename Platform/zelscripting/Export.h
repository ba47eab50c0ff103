#pragma once

// Marks what the zelscripting shared library exports; everything else stays hidden.
#define ZELSCRIPTING_EXPORT __attribute__((visibility("default")))
