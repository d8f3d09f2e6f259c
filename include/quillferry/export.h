// SPDX-License-Identifier: Apache-2.0
/// @file
/// What libquillferry-client exports: the declarations marked QUILLFERRY_CLIENT_API, and
/// nothing else of what it is built from.
#pragma once

#if defined(__GNUC__)
#define QUILLFERRY_CLIENT_API __attribute__((visibility("default")))
#else
#define QUILLFERRY_CLIENT_API
#endif
