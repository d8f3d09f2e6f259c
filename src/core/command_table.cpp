// SPDX-License-Identifier: Apache-2.0
#include "core/command_table.h"

#include "core/constants.h"
#include "netconf/set_net_conf.h"
#include "query/get_hw_conf.h"
#include "query/get_net_conf.h"
#include "query/get_stat.h"

const std::vector<Command>& daemonCommands() {
    static const std::vector<Command> commands = {
        {qf::kCmdSetNetConf, handleSetNetConf},
        {qf::kCmdGetNetConf, handleGetNetConf},
        {qf::kCmdGetStat, handleGetStat},
        {qf::kCmdGetHwConf, handleGetHwConf},
    };
    return commands;
}
