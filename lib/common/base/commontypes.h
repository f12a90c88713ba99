// Basic types of the common runtime.
#ifndef COMMON_BASE_COMMONTYPES_H
#define COMMON_BASE_COMMONTYPES_H

#include <cstdint>

typedef int16_t Bool;  // 1 true, 0 false; 16 bits wide as in CThread's flags
typedef int32_t SInt32;
typedef uint32_t UInt32;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#endif
