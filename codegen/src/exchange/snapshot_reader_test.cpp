#include "oxu/codegen/snapshot_reader.hpp"

#include <gtest/gtest.h>
