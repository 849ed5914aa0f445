#include <gtest/gtest.h>

#include "surfaces/surfaces.h"
#include "test_support.h"
