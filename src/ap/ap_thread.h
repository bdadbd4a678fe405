// The clock of the thread and time layer: a millisecond count that wraps modulo 2^32. The rate meter reads
// it through Clock; only differences of nearby readings mean anything.
#pragma once

unsigned int ap_time_get_internal(void);
