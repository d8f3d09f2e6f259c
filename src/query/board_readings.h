// SPDX-License-Identifier: Apache-2.0
// Readings of the board's sysfs and size sources behind "get_stat" and
// "get_hardware_conf", with the source files as parameters so they can be pointed at test
// data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/constants.h"
#include "core/system_file.h"

// Hottest reading of the thermal zone files; unreadable or non-numeric files are left out
// (logged as `failures` says); 0 when none gives a number.
int getCpuTemp(InfoFileCache& files, SourceFailures& failures,
               const std::vector<std::string>& zoneFiles);

// 100 when the three clusters (their first CPUs' current frequency files, in the order of
// qf::kCpuClusters) run exactly at their top frequencies, else 0. A non-numeric file is logged
// as `failures` says.
int getCpuPwrLmt(InfoFileCache& files, SourceFailures& failures,
                 const std::vector<std::string>& freqFiles);

// Converts like strtol: leading white space, optional sign, digits, stops at the first
// other character. False when no digit was found or the value does not fit 32 bits.
bool parseLeadingInt(const std::string& text, int& value);

// Rounds a size in gibibytes up to the board's size steps (4, 8, 12, 16, 32 ... 1024);
// 1024 and more give 0.
int alignToUpper(int gib);

// "8G LPDDR5" for a memory total in kibibytes; "128G UFS3.0" for a storage size in bytes.
std::string ramSizeText(std::uint64_t kib);
std::string romSizeText(std::uint64_t bytes);

// The GPU model file's text; the memory total of a meminfo file (kibibytes; 0 when it cannot
// be read); the size of the file system at `path` (bytes; 0 when statfs fails).
std::string getGpuModel(const char* path);
std::uint64_t getRamSize(const char* path);
std::uint64_t getRomSize(const char* path);
