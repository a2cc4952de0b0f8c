#include "Clock.h"

timespec monotonic_now(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

float seconds_since(timespec start) {
  timespec finish = monotonic_now();
  return static_cast<float>(static_cast<double>(finish.tv_nsec - start.tv_nsec) / 1e9 +
                            static_cast<double>(finish.tv_sec - start.tv_sec));
}
