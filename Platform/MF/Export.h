#pragma once

// Marks what the media cache library exports; everything else stays hidden.
#define MF_EXPORT __attribute__((visibility("default")))
