// Mode userapl: the external-application check and the sync-file handshake.
#pragma once

#include "front/context.h"

TestResult external_app_check(CheckContext *ctx);
