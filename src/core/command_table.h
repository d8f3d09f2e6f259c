// SPDX-License-Identifier: Apache-2.0
// The dispatch table: each command name of "cmd" with its handler. A new command is a row
// here and a unit of its own (its header declares the handler).
#pragma once

#include <vector>

#include "core/handler.h"

// The daemon's commands, in the order they are looked for.
const std::vector<Command>& daemonCommands();
