// Small files left under /opt for other software on the board.
#pragma once

#include <string>

// Replaces `path` with `count` bytes of `data`, mode 0664. A failure is logged; false then.
bool saveFile(const char* path, const char* data, int count);

// "idc=<idc>,soc_ip=<soc_ip>,pod_id=<pod_id>", without a line feed.
std::string hostInfoText(const std::string& idc, const std::string& socIp,
                         const std::string& podId);

// Logs a board file that could not be written, with the reason.
void logWriteFailure(const std::string& error);
