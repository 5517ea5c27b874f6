#include <cstdio>
#include "station/ui/station_setup.h"
int main() { return 0; }
