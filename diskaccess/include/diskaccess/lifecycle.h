// Start and stop of the disk-access layer. The clean-up tool and the other
// programs call these two functions once around any use of the layer.
#pragma once

#include <cstdint>
#include <stdint.h>

// Brings the layer up for the given flag word; a second call only adds
// what new flags ask for.
void DaInit(uint32_t flags);

// Releases everything DaInit made: computer, library session, locks.
void DaDone();
