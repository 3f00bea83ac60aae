#include <gtest/gtest.h>

#include "runtime/message.h"
#include "tests/harness.h"
