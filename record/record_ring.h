// The byte ring between a producer that must never wait and one consumer now
// lives in the scanner library, whose fetch thread fills it
// (libscanmon/record_ring.h); the capture writer keeps its own rings of it.
#pragma once

#include "libscanmon/record_ring.h"
