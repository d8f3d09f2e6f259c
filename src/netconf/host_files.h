// SPDX-License-Identifier: Apache-2.0
// Small files left under /opt for other software on the board.
#pragma once

#include <string>

#include "core/board_paths.h"

class FileBatch;

// Replaces `path` with `count` bytes of `data`, mode 0664, at once or, given a batch, when
// the batch is committed. A failure is logged; false then.
bool saveFile(const char* path, const char* data, int count, FileBatch* batch = nullptr);

// Commits `batch`, logging each file that could not be put in place; false then.
bool commitFiles(FileBatch& batch);

// "idc=<idc>,soc_ip=<soc_ip>,pod_id=<pod_id>", without a line feed.
std::string hostInfoText(const std::string& idc, const std::string& socIp,
                         const std::string& podId);

// Writes the host information file of `paths` as saveFile does.
bool saveHostInfo(const BoardPaths& paths, const std::string& idc, const std::string& socIp,
                  const std::string& podId, FileBatch* batch = nullptr);

// Logs a board file that could not be written, with the reason.
void logWriteFailure(const std::string& error);
