/* Elapsed time of a stage, as every stage measures and prints it. */
#ifndef QUOVENT_COMMON_CLOCK_H
#define QUOVENT_COMMON_CLOCK_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The monotonic clock now. */
struct timespec monotonic_now(void);

/* Seconds from start to now on the monotonic clock, computed in double
 * precision and held in single precision, as the "%.3f secs" messages print
 * it. */
float seconds_since(struct timespec start);

#ifdef __cplusplus
}
#endif

#endif
