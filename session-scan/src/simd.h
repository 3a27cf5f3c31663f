// The one switch between the SSE2 block code of the scanner's byte scans and their
// portable code. SSE2 is part of every x86-64 processor; ORVA_NO_SSE2 builds the
// portable code there too, so that the tests run it.
#pragma once

#if defined(__SSE2__) && !defined(ORVA_NO_SSE2)
#define ORVA_SSE2 1
#include <emmintrin.h>
#else
#define ORVA_SSE2 0
#endif
