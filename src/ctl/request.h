// SPDX-License-Identifier: Apache-2.0
// The request builders under the names that the system tests use.
#pragma once

#include "client/request.h"

namespace ctl {
using qfclient::clearRequest;
using qfclient::compactJson;
using qfclient::queryRequest;
}  // namespace ctl
