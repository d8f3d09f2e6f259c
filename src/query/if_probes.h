// SPDX-License-Identifier: Apache-2.0
// Conversions behind the interface probes.
#pragma once

#include <cstdint>
#include <string>

// Number of leading one bits of a netmask in host byte order: 255.255.255.0 gives 24, a
// mask with a hole gives the length of its leading run.
std::uint8_t prefixLengthOfMask(std::uint32_t hostOrderMask);

// Six bytes as "0a:1b:2c:3d:4e:5f".
std::string macAddressText(const unsigned char* bytes);
