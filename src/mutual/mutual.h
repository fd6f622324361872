// Mode double: driver, cleanup registry and the two-process tests.
#pragma once

#include "front/context.h"

TestResult mutual_check(CheckContext *ctx);
