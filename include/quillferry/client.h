// SPDX-License-Identifier: Apache-2.0
/// @file
/// libquillferry-client: the controller's end of a QuillFerry board's serial line.
///
/// A board is reached by its line address (parseAddress(), LineAddress): a local serial
/// device or a console server's port over TCP, telnet with RFC 2217, TLS or SSH. A Line sends
/// one request at a time and waits for the reply that belongs to it: probe(), or call() with
/// a request built here (statRequest(), setNetRequest() with the board's own checks, ...),
/// each returning a Result with its Outcome. Many lines run at once in one Loop, each with its
/// own deadline (Line::start()). Everything is in the namespace qfclient; replies and requests
/// are jsoncpp values (Json::Value).
///
///     qfclient::LineAddress address;
///     std::string error;
///     if (!qfclient::parseAddress("tcp:console1:3001", address, error)) return 64;
///     qfclient::Line line(address);
///     const qfclient::Result r = line.probe();
///     return r.outcome == qfclient::Outcome::Ok ? 0 : 1;
#pragma once

#include "quillferry/address.h"
#include "quillferry/export.h"
#include "quillferry/line.h"
#include "quillferry/reply.h"
#include "quillferry/request.h"
