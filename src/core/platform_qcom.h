// SPDX-License-Identifier: Apache-2.0
// The QCS8250 board.
#pragma once

#include <string>
#include <utility>

#include "core/platform.h"

class PlatformQcom : public Platform {
public:
    explicit PlatformQcom(BoardPaths paths = {}) : Platform(std::move(paths)) {}
    ~PlatformQcom() override = default;

    std::string getCpuModel() override;
};
