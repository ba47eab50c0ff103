#pragma once

// Marks what the application-support library exports; everything else stays hidden.
#define ZELAPPSUPPORT_EXPORT __attribute__((visibility("default")))
