#pragma once

// Marks what the project-model library exports; everything else stays hidden.
#define BE_EXPORT __attribute__((visibility("default")))
