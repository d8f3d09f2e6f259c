// SPDX-License-Identifier: Apache-2.0
// The record of the last request received per command, kept across restarts in one JSON
// file. The platform's operations use the board's fixed path; these take it as a parameter.
#pragma once

#include <json/json.h>

// The record set in `path`: null when the file is missing, empty, not a regular file, or
// does not parse (each logged). Never throws.
Json::Value readRecordSet(const char* path);

// Stores `request` under its "cmd" in the record set in `path`, keeping the other members.
// False when the record could not be stored (logged); an old file is then intact.
bool storeRecord(const char* path, const Json::Value& request);
