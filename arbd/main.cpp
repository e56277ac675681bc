// arbd: commits the configuration and restarts the device at the configured
// times of day, once the device has been up for an hour.
#include "schedule.h"

int main() { return arbd::run(arbd::device_system()); }
