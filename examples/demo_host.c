#include "velno_core.h"
int main(void) { return 0; }
