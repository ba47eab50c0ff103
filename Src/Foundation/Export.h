#pragma once

// Marks what libquillan exports to analyzer modules and the application; everything else stays hidden.
#define QUILLAN_EXPORT __attribute__((visibility("default")))
