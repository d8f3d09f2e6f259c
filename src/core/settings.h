// SPDX-License-Identifier: Apache-2.0
// The daemon's settings from its environment (/etc/default/quillferry for the service), read
// once at start-up. Their values end up in configuration lines and in time limits, so only
// what is plainly right is taken.
#pragma once

#include <chrono>
#include <string>

// The time limit from QUILLFERRY_IFUP_TIMEOUT (`value`, null when unset): whole seconds from
// 1 to an hour; anything else gives the default, and `valid` says so.
std::chrono::seconds ifupTimeout(const char* value, bool& valid);

// A usable DNS search domain: `value` when it is a plain domain name (letters, digits,
// hyphens and dots, at most 253 characters), otherwise the compiled default. The value goes
// into configuration lines, so nothing else may pass.
std::string dnsSearchDomain(const char* value);
