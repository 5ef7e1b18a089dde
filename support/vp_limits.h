#ifndef VP_LIMITS_H
#define VP_LIMITS_H

// Largest number of conditions (tables) of one comparison, for every program
// of the suite: mirdle's table of streams has this many slots.
inline constexpr int MAX_CONDITIONS = 128;

#endif
