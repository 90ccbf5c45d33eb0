// common sits above the runtime types: they cannot see it.
#include "common/Trace.h"
