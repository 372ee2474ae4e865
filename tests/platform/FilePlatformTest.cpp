#include <gtest/gtest.h>

#include "platform/File.h"
