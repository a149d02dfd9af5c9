// The machine snapshot and its comparison.
#include <gtest/gtest.h>

#include "support/MachineSnapshot.h"
