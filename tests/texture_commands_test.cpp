#include <gtest/gtest.h>

#include "commands/texture_commands.h"
#include "test_support.h"
